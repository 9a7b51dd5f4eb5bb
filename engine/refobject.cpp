#include "engine/refobject.h"

namespace zorvex {

RefObject::RefObject(const char16_t* name, Archive* owner) : name_(name ? name : u""), owner_(owner) {
    if (owner_) asRefObject(owner_)->addRef();
}

RefObject::~RefObject() {
    if (owner_) asRefObject(owner_)->release();
}

const char16_t* RefObject::name() const { return name_.c_str(); }

Archive* RefObject::owner() {
    if (owner_) asRefObject(owner_)->addRef();
    return owner_;
}

}  // namespace zorvex
