#include "tools/archives_ahead.h"

namespace zorvex::cli {

bool HeldPasswords::askPassword(const std::u16string& archiveName, Password& password) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (held_ && commandPasswordsAskUser()) {
            refused_ = true;
            return false;
        }
    }
    return source_->askPassword(archiveName, password);
}

bool HeldPasswords::release() {
    std::lock_guard<std::mutex> hold(mutex_);
    held_ = false;
    return refused_;
}

}  // namespace zorvex::cli
