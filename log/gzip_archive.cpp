#include "log/gzip_archive.h"

#include <libdeflate.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/move_file.h"

namespace ZelLog {
namespace {

namespace fs = std::filesystem;

// Bytes read from the source file at a time.
constexpr std::size_t kReadBlockBytes = 256 * 1024;

std::string ErrnoText(int code) {
    return std::error_code(code, std::system_category()).message();
}

// Closes a file on every path out of a function.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string FolderOf(const std::string& path) {
    return fs::path(path).parent_path().string();
}

}  // namespace

GzipMemberWriter::GzipMemberWriter(std::FILE* out)
    : m_out(out), m_compressor(libdeflate_alloc_compressor(kGzipLevel)) {
    if (m_compressor == nullptr) {
        m_failed = true;
        m_error = "cannot make a deflate compressor: out of memory";
        return;
    }
    m_input.reserve(kGzipMemberInputBytes);
    m_output.resize(libdeflate_gzip_compress_bound(m_compressor, kGzipMemberInputBytes));
}

GzipMemberWriter::~GzipMemberWriter() {
    if (m_compressor != nullptr) {
        libdeflate_free_compressor(m_compressor);
    }
}

bool GzipMemberWriter::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0 && !m_failed) {
        const std::size_t room = kGzipMemberInputBytes - m_input.size();
        const std::size_t take = size < room ? size : room;
        m_input.insert(m_input.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (m_input.size() == kGzipMemberInputBytes) {
            WriteMember();
        }
    }
    return !m_failed;
}

bool GzipMemberWriter::Finish() {
    if (!m_failed && (!m_input.empty() || m_members == 0)) {
        WriteMember();
    }
    return !m_failed;
}

bool GzipMemberWriter::WriteMember() {
    const std::size_t size = libdeflate_gzip_compress(m_compressor, m_input.data(), m_input.size(),
                                                      m_output.data(), m_output.size());
    if (size == 0) {
        // Cannot happen with an output of the bound's size; kept as a guard.
        m_failed = true;
        m_error = "the compressed member does not fit its buffer";
        return false;
    }
    if (std::fwrite(m_output.data(), 1, size, m_out) != size) {
        m_failed = true;
        m_error = ErrnoText(errno);
        return false;
    }
    m_input.clear();
    ++m_members;
    return true;
}

bool WriteGzipArchive(const std::string& sourcePath, const std::string& archivePath,
                      const std::string& partPath, std::string& error) {
    std::error_code code;
    // Everything below that fails leaves through here: the partial archive
    // goes, the source and an existing archive stay as they were.
    auto fail = [&](std::string text) {
        error = std::move(text);
        std::error_code ignored;
        fs::remove(partPath, ignored);
        return false;
    };

    FilePtr source(std::fopen(sourcePath.c_str(), "rb"));
    if (!source) {
        return fail("cannot read " + sourcePath + ": " + ErrnoText(errno));
    }

    const bool appending = fs::exists(archivePath, code);
    if (code) {
        return fail("cannot examine " + archivePath + ": " + code.message());
    }
    if (appending) {
        // A generation archived within the same second: the archive keeps its
        // members and this generation follows them.
        fs::copy_file(archivePath, partPath, fs::copy_options::overwrite_existing, code);
        if (code) {
            return fail("cannot copy " + archivePath + " to " + partPath + ": " + code.message());
        }
    }
    FilePtr part(std::fopen(partPath.c_str(), appending ? "ab" : "wb"));
    if (!part) {
        return fail("cannot write " + partPath + ": " + ErrnoText(errno));
    }

    GzipMemberWriter writer(part.get());
    std::vector<unsigned char> block(kReadBlockBytes);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), source.get());
        if (got < block.size() && std::ferror(source.get())) {
            const int readError = errno;
            part.reset();
            return fail("cannot read " + sourcePath + ": " + ErrnoText(readError));
        }
        if (got > 0 && !writer.Write(block.data(), got)) {
            break;
        }
        if (got < block.size()) {
            break;
        }
    }
    if (!writer.Finish()) {
        part.reset();
        return fail("cannot write " + partPath + ": " + writer.Error());
    }
    code = tapscope::platform::FlushFileToDisk(part.get());
    if (code) {
        part.reset();
        return fail("cannot write " + partPath + ": " + code.message());
    }
    if (std::fclose(part.release()) != 0) {
        return fail("cannot write " + partPath + ": " + ErrnoText(errno));
    }
    // Replacing the archive is intended only when the part holds its members
    // followed by the new ones; a new archive never replaces a file.
    if (appending) {
        fs::rename(partPath, archivePath, code);
    } else {
        code = tapscope::platform::MoveFileNoReplace(partPath, archivePath);
    }
    if (code) {
        return fail("cannot rename " + partPath + " to " + archivePath + ": " + code.message());
    }
    // Put the new name on the disk before the caller deletes the source. Best
    // effort: the archive is complete either way, and some file systems do not
    // flush folders.
    (void)tapscope::platform::FlushFolderToDisk(FolderOf(archivePath));
    return true;
}

}  // namespace ZelLog
