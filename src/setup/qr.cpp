// The QR code of a device's subscribe link for the setup page, made by libqrencode (nothing here
// encodes): rows of "1" (dark) and "0", which the page draws.
#include "setup_internal.h"

#include <qrencode.h>
#include <yyjson.h>

enum { QV_QR_WIDTH_MAX = 177 }; // version 40, the largest code there is

int qr_add_rows(const char *text, yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *name) {
    QRcode *code = QRcode_encodeString(text, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return -1;
    int rc = -1;
    yyjson_mut_val *rows = code->width <= QV_QR_WIDTH_MAX ? yyjson_mut_obj_add_arr(doc, obj, name)
                                                          : nullptr;
    for (int y = 0; rows && y < code->width; y++) {
        char row[QV_QR_WIDTH_MAX + 1];
        for (int x = 0; x < code->width; x++)
            row[x] = (code->data[y * code->width + x] & 1) ? '1' : '0';
        row[code->width] = '\0';
        if (!yyjson_mut_arr_add_strcpy(doc, rows, row))
            break;
        rc = y + 1 == code->width ? 0 : -1;
    }
    QRcode_free(code);
    return rc;
}
