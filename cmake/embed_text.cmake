# Turns a data file into a C++ source that defines it as one zero-terminated text:
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAME=<symbol> -P embed_text.cmake
# The bytes are written as numbers, so any content and any size compiles on every compiler.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${source}; edit that file instead.\n"
  "extern const char ${NAME}[];\n"
  "const char ${NAME}[] = {\n${bytes}0x00};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
