#include "sender/pipeline/Nv12Intake.h"

namespace kelvora {

PixelBuffer Nv12Intake::convert(const PixelBuffer& picture) {
    if (!picture || picture.format() != PixelFormat::bgra) {
        return picture;
    }
    if (!pool_ || pool_->width() != picture.width() || pool_->height() != picture.height()) {
        pool_ = std::make_unique<PixelBufferPool>(PixelFormat::nv12, picture.width(), picture.height(), 4);
    }
    PixelBuffer out = pool_->make();
    transfer_.transfer(picture, out);
    return out;
}

}  // namespace kelvora
