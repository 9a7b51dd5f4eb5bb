// Every codec, registered at load in this order (the order matters only when
// codecs are enumerated). A family's header names its stream factory.
#include "codecs/bcj2/bcj2.h"
#include "codecs/bzip2/bzip2.h"
#include "codecs/crypto/sevenzip_aes.h"
#include "codecs/crypto/zip_crypto.h"
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

InStream* makeStoreStream(const CodecRequest& r) {
    return new StoreStream(r.name, r.owner, r.tag, r.source, r.offset, r.packedSize);
}

FactoryCodec wavpack(u"wavpack", makeWavPackStream);
FactoryCodec zipJpeg(u"zip-jpeg", makeZipJpegStream);
FactoryCodec bcj(u"bcj", makeBcjStream);
FactoryCodec arm(u"arm", makeArmStream);
FactoryCodec armt(u"armt", makeArmtStream);
FactoryCodec ppc(u"ppc", makePpcStream);
FactoryCodec sparc(u"sparc", makeSparcStream);
FactoryCodec ia64(u"ia64", makeIa64Stream);
FactoryCodec arm64(u"arm64", makeArm64Stream);
FactoryCodec riscv(u"riscv", makeRiscvStream);
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
FactoryCodec reduce(u"reduce", makeReduceStream);
FactoryCodec implode(u"implode", makeImplodeStream);
FactoryCodec store(u"store", makeStoreStream);
FactoryCodec zipEncrypted(u"zip-encrypted", makeZipEncryptedStream);
FactoryCodec sevenZipAes(u"7z-aes", makeSevenZipAesStream);

}  // namespace
}  // namespace zorvex
