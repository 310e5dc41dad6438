#pragma once
#include <QColor>
#include <QPalette>
#include <QtGlobal>

// A 32-bit colour value as controls keep it: with the top bit set the low
// bits index a system colour (15 = button face); otherwise red in the lowest
// byte, then green, then blue. System colours come from the palette.
QColor ResolveOleColor(quint32 value, const QPalette& palette);
