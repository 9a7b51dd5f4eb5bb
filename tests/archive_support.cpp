#include "tests/archive_support.h"

#include <fstream>
#include <set>
#include <sstream>

#include "engine/convert.h"
#include "engine/format_registry.h"

namespace zorvex::test {

std::u16string insidePath(const fs::path& file, const std::string& inner) {
    std::u16string path = enginePath(file);
    if (inner.empty()) return path;
    std::u16string rest = utf8ToWide(inner).value_or(u"");
    for (char16_t& c : rest)
        if (c == u'/') c = u'\\';
    return path + u"\\" + rest;
}

std::optional<std::vector<uint8_t>> entryData(const std::u16string& path) {
    Ref<InStream> stream(openStreamPath(path.c_str()));
    if (!stream) return std::nullopt;
    std::vector<uint8_t> data = readAll(stream.get());
    if (stream->size() != int64_t(data.size()) || stream->damaged()) return std::nullopt;
    return data;
}

namespace {

void walk(Archive* archive, const std::string& prefix, std::map<std::string, int64_t>* out) {
    auto utf8 = [](const char16_t* name) { return wideToUtf8(name).value_or("?"); };
    for (int i = 0; i < archive->fileCount(); ++i) (*out)[prefix + utf8(archive->fileName(i))] = archive->fileSize(i);
    for (int i = 0; i < archive->nestedCount(); ++i)
        (*out)[prefix + utf8(archive->nestedName(i))] = archive->nestedSize(i);
    for (int i = 0; i < archive->folderCount(); ++i) {
        std::string name = prefix + utf8(archive->folderName(i)) + "/";
        (*out)[name] = -1;
        Ref<Archive> folder(archive->openFolder(i));
        if (folder) walk(folder.get(), name, out);
    }
}

struct Row {
    std::string archive, kind, path;
    int64_t size = -1;
    std::string sha256, notes;
};

std::vector<Row> manifestRows(const fs::path& corpus, const std::string& folder) {
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::vector<Row> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream fields(line);
        for (std::string col; std::getline(fields, col, '\t');) cols.push_back(col);
        cols.resize(8);
        if (cols[0].rfind(folder + "/", 0) != 0) continue;
        Row row{cols[0], cols[1], cols[2], cols[3].empty() ? -1 : std::stoll(cols[3]), cols[4], cols[7]};
        rows.push_back(row);
    }
    return rows;
}

// Reads every file of an archive (and of archives in it) to its end.
void drain(Archive* archive, int depth) {
    for (int i = 0; i < archive->fileCount(); ++i) {
        Ref<InStream> s(archive->openFile(i));
        if (s) readAll(s.get());
    }
    for (int i = 0; i < archive->folderCount() && depth < 8; ++i) {
        Ref<Archive> folder(archive->openFolder(i));
        if (folder) drain(folder.get(), depth + 1);
    }
    for (int i = 0; i < archive->nestedCount() && depth < 8; ++i) {
        Ref<Archive> nested(archive->openNestedArchive(i));
        if (nested) drain(nested.get(), depth + 1);
    }
}

// A stored path as the engine lists it: no leading "/", ".." resolved
// inside the archive.
std::string listedPath(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : "/") + part;
    return out;
}

}  // namespace

std::map<std::string, int64_t> listTree(Archive* archive) {
    std::map<std::string, int64_t> out;
    walk(archive, "", &out);
    return out;
}

std::string fileText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

void checkCorpusFolder(const fs::path& corpus, const std::string& folder, const std::set<std::string>& knownDifferent,
                       const std::set<std::string>& onlyArchives) {
    std::vector<Row> rows = manifestRows(corpus, folder);
    if (!onlyArchives.empty())
        std::erase_if(rows, [&](const Row& row) { return !onlyArchives.count(row.archive); });
    ASSERT_FALSE(rows.empty());
    // The decompressed tar of a compressed tar, by archive: tar rows live in it.
    std::map<std::string, std::string> streamOf;
    for (const Row& row : rows)
        if (row.kind == "stream") streamOf[row.archive] = row.path;

    // Some paths have rows of differing peers; matching one of them is enough.
    std::map<std::pair<std::string, std::string>, std::vector<const Row*>> byPath;
    for (const Row& row : rows) byPath[{row.archive, row.path}].push_back(&row);

    // Archives with names that climb out or are absolute: the names are
    // rewritten, so their rows are not looked up by path; instead nothing
    // listed may climb out.
    std::set<std::string> traversal;
    for (const Row& row : rows)
        if (row.notes.find("path traversal") != std::string::npos) traversal.insert(row.archive);
    for (const std::string& name : traversal) {
        SCOPED_TRACE(name);
        Ref<Archive> opened(openArchivePath(insidePath(corpus / name).c_str()));
        if (!opened) continue;
        for (const auto& [path, size] : listTree(opened.get()))
            EXPECT_EQ(("/" + path + "/").find("/../"), std::string::npos) << path;
        drain(opened.get(), 0);
    }

    int checked = 0, unreachable = 0;
    for (const auto& [key, candidates] : byPath) {
        const Row& row = *candidates.front();
        if (traversal.count(row.archive)) continue;
        fs::path archive = corpus / row.archive;
        SCOPED_TRACE(row.archive + " : " + row.path);
        if (row.kind == "malformed" || row.kind == "empty") {
            Ref<Archive> opened(openArchivePath(insidePath(archive).c_str()));
            if (opened) drain(opened.get(), 0);
            continue;
        }
        if (row.kind != "file" && row.kind != "stream") continue;  // links: content rules differ by design
        // Names that are not valid UTF-8 are listed through the ANSI code page:
        // such rows are not found by their peers' names.
        // Peers that ignore sparse records list the stored pieces under GNUSparseFile.* names.
        if (row.path.find("<path>") != std::string::npos || row.notes.find("names differ") != std::string::npos ||
            row.path.find("GNUSparseFile.") != std::string::npos || knownDifferent.count(row.archive + ":" + row.path)) {
            ++unreachable;
            continue;
        }
        std::string inner = listedPath(row.path);
        if (row.kind == "file" && streamOf.count(row.archive)) inner = streamOf[row.archive] + "/" + row.path;
        if (folder == "split") {
            std::string base = archive.filename().string();
            inner = base.substr(0, base.size() - 4) + "/" + row.path;
        }
        std::optional<std::vector<uint8_t>> data = entryData(insidePath(archive, inner));
        if (!data) {
            // Reachable only through a reader that is not part of this build.
            if (folder == "split") {
                ++unreachable;
                continue;
            }
            ADD_FAILURE() << "entry does not open or reads short";
            continue;
        }
        // Very large entries (expanded sparse files) are compared by size: hashing them is slow.
        std::string hash = data->size() > (16u << 20) ? row.sha256 : sha256Hex(*data);
        bool matches = false;
        for (const Row* candidate : candidates)
            matches |= candidate->size == int64_t(data->size()) && candidate->sha256 == hash;
        EXPECT_TRUE(matches) << "size " << data->size() << ", expected " << row.size << " (" << row.notes << ")";
        ++checked;
    }
    EXPECT_GT(checked + unreachable, 0);
    if (unreachable) std::printf("%s: %d rows not reachable through this build\n", folder.c_str(), unreachable);
}

std::set<std::string> refusedArchives(const fs::path& corpus, const std::string& folder) {
    std::set<std::string> refused;
    for (const Row& row : manifestRows(corpus, folder))
        if (row.kind == "refused") refused.insert(row.archive);
    return refused;
}

std::set<std::string> rowsOfRefusedArchives(const fs::path& corpus, const std::string& folder) {
    std::set<std::string> refused = refusedArchives(corpus, folder), rows;
    for (const Row& row : manifestRows(corpus, folder))
        if (refused.count(row.archive)) rows.insert(row.archive + ":" + row.path);
    return rows;
}

}  // namespace zorvex::test
