// Test support: scoped environment variables, a private temporary state root, and running the
// built executable with a chosen environment to capture its exact output.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Sets (or, with a null value, unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// A fresh folder used as QV_CONNECTORS_DIR for one test, removed afterwards.
class TempStateRoot {
public:
    TempStateRoot();
    ~TempStateRoot();
    const std::string &root() const { return root_; }
    std::string state_dir() const { return root_ + "/chimewick"; }
    std::string file(const std::string &name) const { return state_dir() + "/" + name; }

private:
    std::string root_;
    ScopedEnv env_;
};

std::string read_whole(const std::string &path);
void write_whole(const std::string &path, const std::string &data);

struct RunResult {
    int exit_code = -1;
    std::string out;
};
// Runs the built executable with exactly this environment (nothing inherited) and input.
RunResult run_exe(const std::vector<std::string> &args,
                  const std::vector<std::pair<std::string, std::string>> &env,
                  const std::string &stdin_data = "");
