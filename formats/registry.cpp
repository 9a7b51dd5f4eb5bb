// Every archive format, registered at load in this order: detection walks the
// formats front to back, so the order decides between equal extensions and
// between signatures of equal length.
#include "engine/archive.h"
#include "formats/zip.h"

namespace zorvex {
namespace {

const char16_t* const zipExtensions[] = {u".zip", u".zipx"};
const uint8_t zipSignature[] = {0x50, 0x4B};
FunctionFormat zip(u"zip", zipExtensions, 2, zipSignature, 2, openZip);

}  // namespace
}  // namespace zorvex
