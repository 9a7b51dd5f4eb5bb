#include "tools/mount_tree.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>

#include "engine/archive.h"
#include "engine/checked_stream.h"
#include "engine/decoded_cache.h"
#include "engine/extraction.h"
#include "engine/file_source.h"
#include "engine/format_registry.h"
#include "engine/password.h"
#include "engine/recent_blocks.h"
#include "tools/entries.h"

namespace zorvex::cli {

namespace {

// What extraction gives entries that store no mode, under the usual umask.
constexpr uint32_t kFilePermissions = 0644, kFolderPermissions = 0755;
// How far past the checked run a read may start and still have the gap read
// first: well beyond the kernel's read-ahead window.
constexpr int64_t kCatchUpLimit = 16 << 20;

// Reads `length` bytes from `offset` into `buffer`, `chunk` at a time (the
// buffer's size): false when the data is damaged or ends early, never bytes
// from damaged data nor a file that ends early as if whole.
bool readInto(InStream* stream, int64_t offset, char* buffer, int64_t length, int chunk) {
    if (!stream->seek(offset)) return false;
    while (length > 0) {
        int want = int(std::min<int64_t>(length, chunk));
        int done = 0;
        while (done < want) {
            int got = stream->read(buffer + done, want - done);
            if (got <= 0) break;
            done += got;
        }
        if (stream->damaged() || done < want) return false;
        length -= want;
    }
    return true;
}

bool passwordRefused(const Status& status) {
    return status.kind() == Status::kEncrypted || status.kind() == Status::kWrongPassword;
}

// Whether any entry of `level` is encrypted (its folders' and nested
// archives' own entries are not looked at: they open later).
bool holdsEncryptedEntries(Archive* level) {
    for (int i = 0; i < level->fileCount(); ++i)
        if (level->fileMetadata(i).encrypted) return true;
    for (int i = 0; i < level->nestedCount(); ++i)
        if (level->nestedMetadata(i).encrypted) return true;
    return false;
}

// The hidden file that holds a nested archive's bytes, beside its folder.
std::string bytesName(const std::string& nested) { return "." + nested + ".bytes"; }

// One copy of the archive's engine objects, used by one thread at a time.
struct Domain {
    std::mutex lock;
    Ref<Archive> root;
    std::map<std::u16string, Ref<Archive>> folders;  // by path of folder names from the root

    // The folder level at `path` ("" for the root), opened on first use.
    Archive* level(const std::u16string& path) {
        if (path.empty()) return root.get();
        auto known = folders.find(path);
        if (known != folders.end()) return known->second.get();
        size_t slash = path.rfind(u'\\');
        Archive* parent = level(slash == std::u16string::npos ? std::u16string() : path.substr(0, slash));
        if (!parent) return nullptr;
        std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
        Ref<Archive> folder(parent->openFolder(parent->findFolder(name.c_str())));
        Archive* opened = folder.get();
        if (opened) folders.emplace(path, std::move(folder));
        return opened;
    }
};

struct Node {
    MountAttributes attributes;
    std::string name;
    int parent = -1;
    int archiveRoot = 0;  // the folder node of the archive's root: hard link targets are paths from there
    // Whether the node lies in the outermost archive's own data, where other
    // copies of the archive may serve it.
    bool outer = false;

    // A folder: its children once loaded, and the level it shows, opened as
    // a folder or nested archive (`index`) of its parent's level.
    std::map<std::string, int> children;
    bool loaded = false;
    int loadError = 0;
    Ref<Archive> level;
    ExtractionPlan plan;  // a nested archive's: the levels it was unwrapped through
    bool nestedLevel = false;
    int index = -1;
    std::u16string folderPath;  // folder names from the outermost archive's root, for other copies

    // A file or link: the item of its parent's level.
    LevelItem item;
    bool hardLink = false;
    std::u16string hardTarget;
    int hardTargetNode = -1;

    // The data, once opened, and the copy it was opened in.
    Ref<InStream> data;
    int domain = 0;
    int openError = 0;
    int handles = 0;  // open file handles reading it
    // How far reads have run on unbroken from the data's start: the stored
    // CRC is checked over that run. Under the lock of the copy it was opened in.
    int64_t checkedRun = 0;
};

}  // namespace

struct MountedArchive::Impl {
    std::string path;
    struct stat fileState {};
    MountSettings settings;
    // Archives are made and released under this lock (the engine's list of
    // live archives is one for the process); the tree is changed under it.
    std::mutex engine;
    std::vector<std::unique_ptr<Domain>> domains;
    ExtractionPlan plan;  // keeps the levels above the root alive
    std::vector<std::unique_ptr<Node>> nodes;
    int nextDomain = 0;
    static constexpr size_t kIdleData = 64;
    std::list<int> idle;  // nodes whose data no handle reads, the longest unread first

    int addNode(Node node) {
        node.attributes.inode = nodes.size() + 1;
        nodes.push_back(std::make_unique<Node>(std::move(node)));
        return int(nodes.size()) - 1;
    }

    int addChild(int parent, Node child) {
        Node& folder = *nodes[parent];
        child.parent = parent;
        if (child.archiveRoot < 0) child.archiveRoot = folder.archiveRoot;
        if (folder.children.count(child.name)) return -1;  // a name shown already (names that do not convert)
        std::string name = child.name;
        int added = addNode(std::move(child));
        if (nodes[added]->nestedLevel) nodes[added]->archiveRoot = added;
        nodes[parent]->children.emplace(std::move(name), added);
        return added;
    }

    Node folderNode(Archive* level, int index, bool nested, const Node& parent) {
        Node node;
        node.attributes.kind = MountAttributes::Kind::kFolder;
        node.attributes.links = 2;
        node.index = index;
        node.nestedLevel = nested;
        node.archiveRoot = -1;
        if (nested) {
            node.name = displayName(level->nestedName(index));
            node.attributes.time = level->nestedTime(index);
            node.attributes.permissions = kFolderPermissions;
        } else {
            node.name = displayName(level->folderName(index));
            node.attributes.time = level->folderTime(index);
            std::optional<uint32_t> mode = level->folderMetadata(index).mode;
            node.attributes.permissions = mode ? *mode & 0777 : kFolderPermissions;
            node.outer = parent.outer;
            node.folderPath = parent.folderPath.empty() ? std::u16string(level->folderName(index))
                                                        : parent.folderPath + u'\\' + level->folderName(index);
        }
        return node;
    }

    Node itemNode(Archive* level, const LevelItem& item, const Node& parent) {
        Node node;
        node.item = item;
        node.name = displayName(item.name);
        node.outer = parent.outer;
        node.archiveRoot = -1;
        const EntryMetadata& metadata = item.metadata(level);
        node.attributes.time = item.time(level);
        if (metadata.link == LinkKind::kSymbolic) {
            node.attributes.kind = MountAttributes::Kind::kSymbolicLink;
            node.attributes.permissions = 0777;
            node.attributes.size = int64_t(displayPath(metadata.linkTarget).size());
            return node;
        }
        node.attributes.permissions = metadata.mode ? *metadata.mode & 0777 : kFilePermissions;
        if (metadata.link == LinkKind::kHard) {
            node.hardLink = true;
            node.hardTarget = metadata.linkTarget;
            return node;
        }
        int64_t size = item.nested ? level->statedNestedSize(item.index) : level->statedFileSize(item.index);
        if (size < 0) size = item.size(level);
        node.attributes.size = size < 0 ? 0 : size;
        return node;
    }

    // Fills a folder's children from its level (under both locks).
    int load(int index) {
        Node& folder = *nodes[index];
        if (folder.loaded) return -folder.loadError;
        folder.loaded = true;
        if (!folder.level && folder.parent >= 0) {
            Archive* parentLevel = nodes[folder.parent]->level.get();
            if (folder.nestedLevel) {
                // As extracting the nested archive would give it: a .tar.gz shows the tar's contents.
                Ref<Archive> nested(parentLevel->openNestedArchive(folder.index));
                if (nested) folder.plan = planExtraction(nested.get());
                folder.level = folder.plan.level;
            } else {
                folder.level = Ref<Archive>(parentLevel->openFolder(folder.index));
            }
        }
        if (!folder.level) {
            folder.loadError = folder.parent >= 0 ? EIO : 0;  // a root with nothing in it is empty
            return -folder.loadError;
        }
        Archive* level = folder.level.get();
        for (int i = 0; i < level->folderCount(); ++i) addChild(index, folderNode(level, i, false, folder));
        for (int i = 0; i < level->nestedCount(); ++i) {
            LevelItem item{level->nestedName(i), true, i};
            // A link named like an archive is a link; one not to be entered is a file.
            if (level->nestedMetadata(i).link != LinkKind::kNone || level->nestedStop(i) != NestingStop::kNone) {
                addChild(index, itemNode(level, item, folder));
                continue;
            }
            Node bytes = itemNode(level, item, folder);
            bytes.name = bytesName(bytes.name);
            if (addChild(index, folderNode(level, i, true, folder)) >= 0) addChild(index, std::move(bytes));
        }
        std::vector<int> hardLinks;
        for (int i = 0; i < level->fileCount(); ++i) {
            int added = addChild(index, itemNode(level, LevelItem{level->fileName(i), false, i}, folder));
            if (added >= 0 && nodes[added]->hardLink) hardLinks.push_back(added);
        }
        // Once the level's files are all there: a link's target mostly lies before it.
        for (int link : hardLinks)
            if (int target = dataNode(link); target != link) ++nodes[target]->attributes.links;
        return 0;
    }

    // The node at `path` ("/"-separated, from node `from`), loading folders on the way.
    int find(int from, std::string_view path, char separator) {
        int node = from;
        size_t start = 0;
        while (start < path.size()) {
            size_t end = std::min(path.find(separator, start), path.size());
            std::string_view part = path.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".") continue;
            if (nodes[node]->attributes.kind != MountAttributes::Kind::kFolder) return -ENOTDIR;
            if (int loaded = load(node); loaded < 0) return loaded;
            auto child = nodes[node]->children.find(std::string(part));
            if (child == nodes[node]->children.end()) return -ENOENT;
            node = child->second;
        }
        return node;
    }

    // The node whose data a hard link gives; itself for any other.
    int dataNode(int index) {
        Node& node = *nodes[index];
        if (!node.hardLink) return index;
        if (node.hardTargetNode < 0) {
            int target = find(node.archiveRoot, displayName(node.hardTarget), '\\');
            // A link to a link, or to nothing in the archive, gives no data.
            node.hardTargetNode = target >= 0 && !nodes[target]->hardLink &&
                                          nodes[target]->attributes.kind == MountAttributes::Kind::kFile
                                      ? target
                                      : index;
        }
        return node.hardTargetNode;
    }

    MountAttributes attributesOf(int index) {
        int data = dataNode(index);
        if (data == index) return nodes[index]->attributes;
        return nodes[data]->attributes;
    }

    Domain* domain(int index) {
        std::unique_ptr<Domain>& slot = domains[index];
        if (slot) return slot.get();
        std::u16string enginePath = engineArgumentPath(path);
        Ref<FileSource> file(openFileSource(enginePath.c_str()));
        if (!file) return nullptr;
        // Every copy has the first one's password, asked once.
        OpeningWithPassword opening(domains[0]->root->password());
        Ref<Archive> root(detectAndOpen(enginePath.c_str(), nullptr, file.get()));
        if (!root) return nullptr;
        root->setReadPlan(ReadPlan::kRandomAccess);
        slot = std::make_unique<Domain>();
        slot->root = std::move(root);
        return slot.get();
    }

    // Opens a file's data in a copy of the archive (under the engine lock).
    // Opens a file's data (under the engine lock): in another copy of the
    // archive where one serves it, else in the first.
    int openData(Node& node) {
        if (node.data) return 0;
        if (node.openError) return -node.openError;
        if (node.outer && settings.domains > 1) {
            int chosen = nextDomain++ % settings.domains;
            if (chosen != 0 && domain(chosen) && openIn(node, chosen) == 0) return 0;
        }
        return openIn(node, 0);
    }

    int openIn(Node& node, int chosen) {
        Domain& copy = *domains[chosen];
        std::lock_guard<std::mutex> hold(copy.lock);
        Archive* level = chosen == 0 ? nodes[node.parent]->level.get() : copy.level(nodes[node.parent]->folderPath);
        LevelItem item = node.item;
        if (level && chosen != 0)
            item.index = item.nested ? level->findNested(item.name.c_str()) : level->findFile(item.name.c_str());
        Ref<InStream> stream(level && item.index >= 0 ? item.open(level) : nullptr);
        // Data that needs a password not given, or given wrong, is not
        // damaged: it is the reader's access that fails.
        const Status& why = stream ? stream->status() : level ? level->openFailure() : Status::corrupt();
        const int failure = passwordRefused(why) ? EACCES : !stream ? EIO : 0;
        if (failure != 0) {
            if (chosen == 0) node.openError = failure;
            return -failure;
        }
        // Stored data seeks where it lies; data whose codec restarts near any
        // offset keeps its last blocks, for reads handed over out of order;
        // other decoded data, a window of a solid block's included, is kept
        // as it is first decoded.
        const bool restarts = stream->restartsNearby();
        const bool bounded = stream->seeksBounded();
        stream = Ref<InStream>(openChecked(stream.detach(), item.checks(level)));
        if (stream && restarts) stream = Ref<InStream>(keepRecentBlocks(stream.detach()));
        else if (stream && !bounded) stream = Ref<InStream>(keepDecodedData(stream.detach()));
        if (!stream) return -ENOMEM;
        // A header may state a size its data does not have; the stream's is the one reads find.
        if (int64_t known = stream->knownSize(); known >= 0) node.attributes.size = known;
        node.data = std::move(stream);
        node.domain = chosen;
        return 0;
    }

    // Data no handle reads any more stays open (with what it keeps decoded)
    // for the last few files only: each holds a decoder and a scratch file.
    void closed(int index) {
        Node& node = *nodes[index];
        if (--node.handles > 0 || !node.data) return;
        idle.push_back(index);
        if (idle.size() <= kIdleData) return;
        Node& oldest = *nodes[idle.front()];
        idle.pop_front();
        std::lock_guard<std::mutex> hold(domains[oldest.domain]->lock);
        oldest.data = Ref<InStream>();
    }
};

MountedArchive::MountedArchive(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MountedArchive::~MountedArchive() {
    // Streams before the archives they read.
    for (auto& node : impl_->nodes) node->data = Ref<InStream>();
}

std::unique_ptr<MountedArchive> MountedArchive::open(const std::string& path, const MountSettings& settings,
                                                     std::string& error) {
    auto impl = std::make_unique<Impl>();
    // Absolute: a mount in the background runs in the root folder.
    std::unique_ptr<char, decltype(&std::free)> absolute(realpath(path.c_str(), nullptr), &std::free);
    impl->path = absolute ? absolute.get() : path;
    impl->settings = settings;
    if (::stat(impl->path.c_str(), &impl->fileState) != 0 || !S_ISREG(impl->fileState.st_mode)) {
        error = "no such archive file";
        return nullptr;
    }
    std::u16string enginePath = engineArgumentPath(impl->path);
    Ref<Archive> archive(openArchivePath(enginePath.c_str(), nullptr, ReadPlan::kRandomAccess, settings.passwords));
    if (!archive) {
        error = "cannot open as an archive";
        return nullptr;
    }
    impl->plan = planExtraction(archive.get());
    impl->domains.resize(size_t(std::max(settings.domains, 1)));
    impl->domains[0] = std::make_unique<Domain>();
    impl->domains[0]->root = std::move(archive);

    Node root;
    root.attributes.kind = MountAttributes::Kind::kFolder;
    root.attributes.permissions = kFolderPermissions;
    root.attributes.links = 2;
    root.attributes.time = impl->fileState.st_mtime;
    root.level = impl->plan.level;
    root.outer = impl->plan.unwrapped.empty();
    impl->addNode(std::move(root));
    std::scoped_lock hold(impl->engine, impl->domains[0]->lock);
    if (impl->load(0) < 0) {
        error = "cannot list";
        return nullptr;
    }
    // Asked now, while a terminal may still answer: reads come later, in the background.
    // (A root with nothing in it has no level.)
    if (Archive* shown = impl->nodes[0]->level.get(); shown && shown->password() && holdsEncryptedEntries(shown))
        shown->password()->get();
    return std::unique_ptr<MountedArchive>(new MountedArchive(std::move(impl)));
}

int MountedArchive::lookup(const char* path) {
    std::scoped_lock hold(impl_->engine, impl_->domains[0]->lock);
    return impl_->find(0, path, '/');
}

MountAttributes MountedArchive::attributes(int node) {
    std::scoped_lock hold(impl_->engine, impl_->domains[0]->lock);
    return impl_->attributesOf(node);
}

int MountedArchive::children(int node,
                             const std::function<void(const std::string& name, const MountAttributes&)>& visit) {
    std::scoped_lock hold(impl_->engine, impl_->domains[0]->lock);
    if (impl_->nodes[node]->attributes.kind != MountAttributes::Kind::kFolder) return -ENOTDIR;
    if (int loaded = impl_->load(node); loaded < 0) return loaded;
    for (const auto& [name, child] : impl_->nodes[node]->children) visit(name, impl_->attributesOf(child));
    return 0;
}

int MountedArchive::linkTarget(int node, std::string& target) {
    std::scoped_lock hold(impl_->engine, impl_->domains[0]->lock);
    const Node& link = *impl_->nodes[node];
    if (link.attributes.kind != MountAttributes::Kind::kSymbolicLink) return -EINVAL;
    target = displayPath(link.item.metadata(impl_->nodes[link.parent]->level.get()).linkTarget);
    return 0;
}

int MountedArchive::openData(int node) {
    std::lock_guard<std::mutex> hold(impl_->engine);
    {
        std::lock_guard<std::mutex> tree(impl_->domains[0]->lock);
        node = impl_->dataNode(node);
    }
    Node& data = *impl_->nodes[node];
    if (data.attributes.kind == MountAttributes::Kind::kFolder) return -EISDIR;
    if (data.hardLink) return -EIO;  // a hard link whose target is not in the archive
    if (int status = impl_->openData(data); status < 0) return status;
    if (data.handles++ == 0) impl_->idle.remove(node);
    return 0;
}

void MountedArchive::closeData(int node) {
    std::lock_guard<std::mutex> hold(impl_->engine);
    const Node& opened = *impl_->nodes[node];
    impl_->closed(opened.hardLink ? opened.hardTargetNode : node);
}

int MountedArchive::read(int node, char* buffer, size_t size, int64_t offset) {
    if (!unchanged()) return -ESTALE;
    Node* data = nullptr;
    Domain* copy = nullptr;
    int64_t total = 0;
    {
        std::lock_guard<std::mutex> hold(impl_->engine);
        data = impl_->nodes[node]->hardLink ? impl_->nodes[impl_->nodes[node]->hardTargetNode].get()
                                            : impl_->nodes[node].get();
        if (!data->data) return -EIO;
        copy = impl_->domains[data->domain].get();
        total = data->attributes.size;
    }
    if (offset < 0) return -EINVAL;
    if (offset >= total || size == 0) return 0;
    int want = int(std::min<int64_t>(std::min<size_t>(size, 1 << 30), total - offset));
    std::lock_guard<std::mutex> hold(copy->lock);
    InStream* stream = data->data.get();
    // Reads of a file read whole reach us out of order (the kernel's
    // read-ahead, several threads serving): one a little past the checked run
    // reads the gap first, so that the run reaches the end and the CRC is checked.
    // A password not given or wrong may only show once the data is read.
    auto failed = [stream] { return passwordRefused(stream->status()) ? -EACCES : -EIO; };
    if (offset > data->checkedRun && offset - data->checkedRun <= kCatchUpLimit &&
        !readInto(stream, data->checkedRun, buffer, offset - data->checkedRun, want))
        return failed();
    if (!readInto(stream, offset, buffer, want, want)) return failed();
    if (offset <= data->checkedRun) data->checkedRun = std::max(data->checkedRun, offset + want);
    return want;
}


bool MountedArchive::unchanged() const {
    struct stat now {};
    if (::stat(impl_->path.c_str(), &now) != 0) return false;
    const struct stat& then = impl_->fileState;
    return now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec && now.st_ino == then.st_ino;
}

}  // namespace zorvex::cli
