#pragma once
#include "engine/pdf/PageLayout.h"

class OptionsFile;

// The page layout's keys in the options file: page.size, page.orientation,
// page.margin, page.fit and page.maxppi, in the texts velunor-convert takes,
// and page.rotate and page.deskew, each on or off.
namespace PageOptions {

// A key that is missing or makes no sense keeps its default; a margin that
// leaves no room on the paper is dropped.
PageLayout Read(const OptionsFile& file);
void Write(const PageLayout& layout, OptionsFile* file);

} // namespace PageOptions
