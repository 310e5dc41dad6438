#include "engine/pdf/PagePlacement.h"

#include <qpdf/QUtil.hh>

std::string PagePlacement::Cm(const Matrix& m)
{
    std::string line;
    for (double v : m) {
        // Four decimals are 1/720000 inch; trailing zeros are dropped.
        line += QUtil::double_to_string(v, 4, true);
        line += ' ';
    }
    return line + "cm";
}
