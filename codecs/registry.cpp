// Every codec, registered at load in this order (the order matters only when
// codecs are enumerated). A family's header names its stream factory.
#include "codecs/bcj2/bcj2.h"
#include "codecs/bzip2/bzip2.h"
#include "codecs/deflate/deflate.h"
#include "codecs/deflate64/deflate64.h"
#include "codecs/filters/filters.h"
#include "codecs/gzip/gzip.h"
#include "codecs/jpeg/zip_jpeg.h"
#include "codecs/lzma/lzma.h"
#include "codecs/ppmd/ppmd.h"
#include "codecs/rar/unpacker.h"
#include "codecs/wavpack/wavpack.h"
#include "codecs/xz/xz.h"
#include "codecs/zip_legacy/zip_legacy.h"
#include "codecs/zstd/zstd.h"
#include "engine/codec.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

InStream* makeStoreStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t) {
    return new StoreStream(name, owner, tag, source, offset, packedSize);
}

FactoryCodec wavpack(u"wavpack", makeWavPackStream);
FactoryCodec zipJpeg(u"zip-jpeg", makeZipJpegStream);
FactoryCodec bcj(u"bcj", makeBcjStream);
FactoryCodec bcjOffset(u"bcj-offset", makeBcjOffsetStream);
FactoryCodec arm(u"arm", makeArmStream);
FactoryCodec armOffset(u"arm-offset", makeArmOffsetStream);
FactoryCodec armt(u"armt", makeArmtStream);
FactoryCodec armtOffset(u"armt-offset", makeArmtOffsetStream);
FactoryCodec ppc(u"ppc", makePpcStream);
FactoryCodec ppcOffset(u"ppc-offset", makePpcOffsetStream);
FactoryCodec sparc(u"sparc", makeSparcStream);
FactoryCodec sparcOffset(u"sparc-offset", makeSparcOffsetStream);
FactoryCodec ia64(u"ia64", makeIa64Stream);
FactoryCodec ia64Offset(u"ia64-offset", makeIa64OffsetStream);
FactoryCodec arm64(u"arm64", makeArm64Stream);
FactoryCodec arm64Offset(u"arm64-offset", makeArm64OffsetStream);
FactoryCodec riscv(u"riscv", makeRiscvStream);
FactoryCodec riscvOffset(u"riscv-offset", makeRiscvOffsetStream);
FactoryCodec delta(u"delta", makeDeltaStream);
FactoryCodec lzma2(u"lzma2", makeLzma2Stream);
FactoryCodec lzma(u"lzma", makeLzmaStream);
FactoryCodec lzip(u"lzip", makeLzipStream);
FactoryCodec rar15(u"rar15", makeRar15Stream);
FactoryCodec rar20(u"rar20", makeRar20Stream);
FactoryCodec rar29(u"rar29", makeRar29Stream);
FactoryCodec rar50(u"rar50", makeRar50Stream);
FactoryCodec bzip2(u"bzip2", makeBzip2Stream);
FactoryCodec deflate(u"deflate", makeDeflateStream);
FactoryCodec deflate64(u"deflate64", makeDeflate64Stream);
FactoryCodec bcj2(u"bcj2", makeBcj2Stream);
FactoryCodec ppmdH(u"ppmd-h", makePpmdHStream);
FactoryCodec ppmdI(u"ppmd-i", makePpmdIStream);
FactoryCodec xz(u"xz", makeXzStream);
FactoryCodec zstd(u"zstd", makeZstdStream);
FactoryCodec gzip(u"gzip", makeGzipStream);
FactoryCodec shrink(u"shrink", makeShrinkStream);
FactoryCodec reduce1(u"reduce-1", makeReduceStream<1>);
FactoryCodec reduce2(u"reduce-2", makeReduceStream<2>);
FactoryCodec reduce3(u"reduce-3", makeReduceStream<3>);
FactoryCodec reduce4(u"reduce-4", makeReduceStream<4>);
FactoryCodec implode4k2(u"implode-4k-2", makeImplodeStream<false, false>);
FactoryCodec implode4k3(u"implode-4k-3", makeImplodeStream<false, true>);
FactoryCodec implode8k2(u"implode-8k-2", makeImplodeStream<true, false>);
FactoryCodec implode8k3(u"implode-8k-3", makeImplodeStream<true, true>);
FactoryCodec store(u"store", makeStoreStream);

}  // namespace
}  // namespace zorvex
