#include "engine/refobject.h"

#include "engine/archive.h"

namespace zorvex {

RefObject::RefObject(const char16_t* name, Archive* owner) : name_(name ? name : u""), owner_(owner) {
    if (owner_) owner_->addRef();
}

RefObject::~RefObject() {
    if (owner_) owner_->release();
}

const char16_t* RefObject::name() const { return name_.c_str(); }

Archive* RefObject::owner() {
    if (owner_) owner_->addRef();
    return owner_;
}

}  // namespace zorvex
