// Every archive format, registered at load in this order: detection walks the
// formats front to back, so the order decides between equal extensions and
// between signatures of equal length.
#include "engine/format_registry.h"
#include "formats/rar.h"
#include "formats/sevenzip.h"
#include "formats/single.h"
#include "formats/split.h"
#include "formats/tar.h"
#include "formats/zip.h"

namespace zorvex {
namespace {

const char16_t* const lzipExtensions[] = {u".lz", u".tlz"};
const uint8_t lzipSignature[] = {'L', 'Z', 'I', 'P'};
FunctionFormat lzip(u"lzip", lzipExtensions, 2, lzipSignature, 4, openLzip);

const char16_t* const xzExtensions[] = {u".xz", u".txz"};
const uint8_t xzSignature[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
FunctionFormat xz(u"xz", xzExtensions, 2, xzSignature, 6, openXz);

const char16_t* const zstdExtensions[] = {u".zst", u".tzst"};
const uint8_t zstdSignature[] = {0x28, 0xB5, 0x2F, 0xFD};
FunctionFormat zstd(u"zstd", zstdExtensions, 2, zstdSignature, 4, openZstd, probeZstd);

const char16_t* const splitExtensions[] = {u".001"};
FunctionFormat split(u"001", splitExtensions, 1, nullptr, 0, openSplit);

// Older tools wrote tar.lzma as .tlz: lzip's signature decides, and a .tlz
// without it is read as .lzma.
const char16_t* const lzmaExtensions[] = {u".lzma", u".tlz"};
FunctionFormat lzma(u"lzma", lzmaExtensions, 2, nullptr, 0, openLzma);

const char16_t* const bzip2Extensions[] = {u".bz2", u".bz", u".tbz2", u".tbz"};
const uint8_t bzip2Signature[] = {'B', 'Z'};
FunctionFormat bzip2(u"bzip2", bzip2Extensions, 4, bzip2Signature, 2, openBzip2);

const char16_t* const tarExtensions[] = {u".tar"};
FunctionFormat tar(u"tar", tarExtensions, 1, nullptr, 0, openTar, probeTar);

const char16_t* const gzipExtensions[] = {u".gz", u".tgz"};
const uint8_t gzipSignature[] = {0x1F, 0x8B};
FunctionFormat gzip(u"gzip", gzipExtensions, 2, gzipSignature, 2, openGzip);

const char16_t* const rarExtensions[] = {u".rar"};
const uint8_t rarSignature[] = {'R', 'a', 'r', '!', 0x1A, 0x07};
FunctionFormat rar(u"rar", rarExtensions, 1, rarSignature, 6, openRar, probeRar);

const char16_t* const zipExtensions[] = {u".zip", u".zipx"};
const uint8_t zipSignature[] = {0x50, 0x4B};
FunctionFormat zip(u"zip", zipExtensions, 2, zipSignature, 2, openZip, probeZip);

const char16_t* const sevenZipExtensions[] = {u".7z"};
const uint8_t sevenZipSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
FunctionFormat sevenZip(u"7zip", sevenZipExtensions, 1, sevenZipSignature, 6, openSevenZip, probeSevenZip);

}  // namespace
}  // namespace zorvex
