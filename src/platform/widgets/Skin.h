#pragma once

// The window skin: one calm, consistent look for all of the program's windows
// (Qt's Fusion style with a palette of our own). Attach applies it, Detach
// puts back the look the program had before. Both may be called again;
// Detach without Attach does nothing.
void SkinH_Attach();
void SkinH_Detach();

// True while the skin is on.
bool SkinH_Attached();
