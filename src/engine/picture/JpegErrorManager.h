#pragma once
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

// libjpeg's errors for code that calls it directly: an error leaves by
// longjmp to `jump` (set it with setjmp before the first call) with its text
// in `message`; warnings are not printed.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];

    // The value for the codec's `err` field.
    jpeg_error_mgr* Install();
};
