#pragma once
#include <QString>
#include <QtGlobal>

#include <functional>

class MessageSink;

// Our own PDF-drawing library: one box = one one-page document under
// construction. Every call returns -1 on failure, with GetErrorMsg telling why.
// Lengths are in tenths of a millimetre (254 to the inch).
//
// Properties: 10 file to write, 14 Creator, 36 page width, 34 page height,
// 45 JPEG quality (1..100, clamped). 31, 44, 51, 52: see PdfCtl.cpp.
// One thread at a time may use a box; calls on different boxes are safe.
int CreateBox(quintptr ownerWindow, int reserved);
int SetNumProp(int box, int property, int value);
int SetStrProp(int box, int property, const QString& text);
int BeginDoc(int box);
int StretchDrawFromFile(int box, int left, int top, int width, int height, const QString& bitmapPath);
int EndDoc(int box);
int FreeBox(int box);
// Copies the message of the last failure (NUL-terminated, at most size-1
// bytes of UTF-8) into buffer; returns its length.
int GetErrorMsg(char* buffer, int size);

// Nothing unless result is -1; then shows the library's message titled "PDF"
// with the critical icon and returns false so the caller can stop the job.
bool CheckPdfError(int result, MessageSink& sink);

// Diagnostics: when set, every entry point reports its call ("SetNumProp(45,
// 85)", "BeginDoc"...) before doing it. Pass an empty function to stop.
void SetPdfCtlTrace(std::function<void(const QString&)> observer);
