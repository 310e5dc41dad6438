#pragma once
#include <QString>

// The quality labels beside the slider.
namespace QualityWords {

// "Best" above 79, "Good" above 59, "Medium" above 29, else "Low": strict
// tests in that order.
QString Word(int value);

// The value directly followed by "%".
QString Percent(int value);

} // namespace QualityWords
