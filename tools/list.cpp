// `zorvex list`: one line per folder, nested archive and file, with its
// modification time and size; -r descends into folders and nested archives.
#include <cinttypes>
#include <cstdio>

#include "tools/commands.h"
#include "tools/entries.h"

namespace zorvex::cli {

namespace {

constexpr const char* kRule = "-------------------  --------------  ----";

struct Listing {
    Reporter& reporter;
    std::string subject;  // the path as given, for error lines
    bool recursive;
    int64_t files = 0, folders = 0, archives = 0, bytes = 0;

    void row(int64_t time, const char* size, const std::string& name) {
        std::printf("%s  %14s  %s\n", formatTime(time).c_str(), size, name.c_str());
    }
    void sizedRow(int64_t time, int64_t size, const std::string& name) {
        char text[32] = "?";
        if (size >= 0) std::snprintf(text, sizeof text, "%" PRId64, size);
        row(time, text, name);
    }

    void level(Archive* archive, const std::string& prefix);
};

void Listing::level(Archive* archive, const std::string& prefix) {
    for (int i = 0; i < archive->folderCount(); ++i) {
        std::string name = prefix + displayName(archive->folderName(i)) + kDisplaySeparator;
        row(archive->folderTime(i), "<dir>", name);
        ++folders;
        if (!recursive) continue;
        Ref<Archive> folder(archive->openFolder(i));
        if (folder)
            level(folder.get(), name);
        else
            reporter.error(subject, name, "cannot open folder");
    }
    for (int i = 0; i < archive->nestedCount(); ++i) {
        std::string name = prefix + displayName(archive->nestedName(i));
        sizedRow(archive->nestedTime(i), archive->nestedSize(i), name);
        ++archives;
        if (!recursive) {
            bytes += std::max<int64_t>(archive->nestedSize(i), 0);
            continue;
        }
        Ref<Archive> nested(archive->openNestedArchive(i));
        if (nested)
            level(nested.get(), name + kDisplaySeparator);
        else
            reporter.error(subject, name, "cannot open as an archive");
    }
    for (int i = 0; i < archive->fileCount(); ++i) {
        sizedRow(archive->fileTime(i), archive->fileSize(i), prefix + displayName(archive->fileName(i)));
        ++files;
        bytes += std::max<int64_t>(archive->fileSize(i), 0);
    }
}

std::string plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int listCommand(const std::string& path, bool recursive) {
    Reporter reporter;
    std::u16string enginePath = engineArgumentPath(path);
    InStream* fileStream = nullptr;
    Ref<Archive> archive(openArchivePath(enginePath.c_str(), &fileStream));
    Ref<InStream> file(fileStream);
    if (!archive && !file) {
        reporter.error(path, "", "cannot open (no such archive, folder or entry)");
        return 1;
    }

    std::printf("%-19s  %14s  %s\n%s\n", "Modified", "Size", "Name", kRule);
    Listing listing{reporter, path, recursive};
    if (archive) {
        listing.level(archive.get(), "");
    } else {
        // The path names a file inside an archive: show just that entry.
        auto slash = enginePath.find_last_of(u'\\');
        listing.sizedRow(file->tag(), file->size(), displayName(enginePath.substr(slash + 1)));
        listing.files = 1;
        listing.bytes = std::max<int64_t>(file->size(), 0);
    }
    std::string summary = plural(listing.files, "file", "files") + ", " +
                          plural(listing.folders, "folder", "folders") + ", " +
                          plural(listing.archives, "archive", "archives");
    std::printf("%s\n%19s  %14" PRId64 "  %s\n", kRule, "", listing.bytes, summary.c_str());
    std::fflush(stdout);
    return reporter.failures() ? 1 : 0;
}

}  // namespace zorvex::cli
