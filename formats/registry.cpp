// Every archive format, registered at load in this order: detection walks the
// formats front to back, so the order decides between equal extensions and
// between signatures of equal length.
#include "engine/archive.h"

namespace zorvex {
namespace {

}  // namespace
}  // namespace zorvex
