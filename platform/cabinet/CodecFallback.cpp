// Weak stand-ins for the LZX factories, so the library links while its LZX
// codec is absent from a build; the codec's own definitions replace them. An
// absent codec makes LZX folders fail cleanly (unknown compression type).
#include "platform/cabinet/Codec.h"

namespace cabinet {

__attribute__((weak)) std::unique_ptr<BlockCompressor> CreateLzxCompressor(int) {
    return nullptr;
}

__attribute__((weak)) std::unique_ptr<BlockDecompressor> CreateLzxDecompressor(int) {
    return nullptr;
}

}  // namespace cabinet
