#include "engine/standard_input.h"

#include <algorithm>
#include <new>

#include "engine/decoded_cache.h"
#include "engine/format_registry.h"
#include "engine/path_clean.h"
#include "engine/stream.h"
#include "platform/platform.h"

namespace zorvex {

namespace {

// What a single-stream reader names its entry after the stream's name.
constexpr char16_t kStreamName[] = u"stdin";
constexpr char16_t kUnnamedEntry[] = u"stdin.out";

// Standard input read front to back. Going back is not possible: the kept
// stream over it asks for that only once it has stopped keeping.
class StandardInputStream final : public InStream {
public:
    explicit StandardInputStream(std::function<void(int64_t)> onRead)
        : InStream(kStreamName, nullptr, 0), onRead_(std::move(onRead)) {}

    int64_t tell() override { return position_; }

    bool seek(int64_t position) override {
        if (position < position_) {
            fail(Status::truncated("standard input is larger than the temporary space for keeping it"));
            return false;
        }
        uint8_t scratch[4096];
        while (position_ < position) {
            int want = static_cast<int>(std::min<int64_t>(sizeof scratch, position - position_));
            if (read(scratch, want) != want) return false;
        }
        return true;
    }

    // Fills the buffer unless the input ends: a pipe gives what its writer
    // wrote so far, in pieces of any size.
    int read(void* buf, int count) override {
        if (!buf || count <= 0) return 0;
        int done = 0;
        while (!ended_ && done < count) {
            int error = 0;
            int n = platform::readStandardInput(static_cast<uint8_t*>(buf) + done, count - done, &error);
            if (n < 0) fail(Status::ioError(error));
            if (n <= 0) {
                ended_ = true;
                break;
            }
            done += n;
            if (onRead_) onRead_(n);
        }
        position_ += done;
        return done;
    }

    // Known once the input has ended whole.
    int64_t size() override { return ended_ && !damaged() ? position_ : -1; }

private:
    std::function<void(int64_t)> onRead_;
    int64_t position_ = 0;
    bool ended_ = false;
};

// A compressed single stream of standard input names its entry after no
// file: it is an archive when its data starts as one.
void markNestedArchive(Archive* archive) {
    if (archive->fileCount() != 1 || archive->folderCount() != 0 || archive->nestedCount() != 0) return;
    if (std::u16string_view(archive->fileName(0)) != kUnnamedEntry) return;
    Ref<InStream> data(archive->openFile(0));
    if (startsWithArchive(data.get())) markHoldsArchive(archive, kUnnamedEntry);
}

}  // namespace

std::u16string standardInputPath() { return normalizePath(u"\\dev\\stdin").value_or(u"\\dev\\stdin"); }

Archive* openStandardInput(const std::u16string& stagingFolder, std::function<void(int64_t)> onRead,
                           Status& failure) {
    InStream* input = new (std::nothrow) StandardInputStream(std::move(onRead));
    if (!input) return nullptr;
    Ref<InStream> kept(keepDecodedData(input, stagingFolder));
    // Without a scratch file nothing could be read twice.
    if (kept.get() == input) return nullptr;
    Archive* archive = detectAndOpen(standardInputPath().c_str(), nullptr, kept.get());
    if (archive) markNestedArchive(archive);
    if (!archive) failure = kept->status();
    return archive;
}

}  // namespace zorvex
