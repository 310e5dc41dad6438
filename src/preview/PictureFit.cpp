#include "preview/PictureFit.h"

#include <cmath>

int NearestEven(double v)
{
    // Round-half-even on its own, not through the thread's rounding mode.
    const double f = std::floor(v);
    const double diff = v - f;
    double r;
    if (diff < 0.5)
        r = f;
    else if (diff > 0.5)
        r = f + 1.0;
    else
        r = std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
    return int(r);
}

std::optional<PictureFit> FitPicture(int pw, int ph, int bw, int bh)
{
    if (pw <= 0 || ph <= 0 || bw <= 0 || bh <= 0)
        return std::nullopt;
    // Ratios in single precision, as the control has always computed them.
    const float rp = float(pw) / float(ph);
    const float rb = float(bw) / float(bh);
    const bool fitHeight = rp >= 1.0f ? rb >= rp : !(rb <= rp);
    PictureFit f;
    if (fitHeight) {
        f.H = bh;
        f.W = NearestEven(float(bh) * rp);
        f.X = NearestEven((bw - f.W) / 2.0);
        f.Y = 0;
    } else {
        f.W = bw;
        f.H = NearestEven(float(bw) / rp);
        f.Y = NearestEven((bh - f.H) / 2.0);
        f.X = 0;
    }
    return f;
}
