#include "engine/picture/JpegErrorManager.h"

namespace {

void onError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void quietly(j_common_ptr, int) {}

} // namespace

jpeg_error_mgr* JpegErrorManager::Install()
{
    jpeg_std_error(&pub);
    pub.error_exit = onError;
    pub.emit_message = quietly;
    return &pub;
}
