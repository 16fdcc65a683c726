// Gzip archives of old log generations. GzipMemberWriter compresses a stream
// of bytes into gzip members (RFC 1952, deflate level 9, 32 KiB window) of at
// most kGzipMemberInputBytes input each, so memory stays bounded whatever the
// size of the input; gunzip yields the concatenation of the members.
// WriteGzipArchive compresses one file into an archive so that the archive is
// either complete or unchanged.
//
// A GzipMemberWriter belongs to one thread at a time; WriteGzipArchive may be
// called from any thread, but two calls must not write the same archive at the
// same time (the log's locks see to that).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct libdeflate_compressor;

namespace ZelLog {

// Deflate level of every archive: the highest of the gzip tool's scale.
constexpr int kGzipLevel = 9;
// Input of one gzip member. Memory use is about twice this, whatever the size
// of the file; a larger member gains well under one percent of archive size.
constexpr std::size_t kGzipMemberInputBytes = 1024 * 1024;

class GzipMemberWriter {
public:
    // Writes members to |out|, which stays the caller's.
    explicit GzipMemberWriter(std::FILE* out);
    ~GzipMemberWriter();
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;

    // Takes |size| bytes; a member is compressed and written each time
    // kGzipMemberInputBytes have come together. False on a write error (or
    // when the compressor could not be made), after which nothing more is
    // written.
    bool Write(const void* data, std::size_t size);
    // Compresses what is left as a last member (one empty member when no byte
    // came at all, so that the output is a gzip file even then). False on a
    // write error. The caller flushes and closes |out|.
    bool Finish();

    // Why the last Write or Finish failed.
    const std::string& Error() const { return m_error; }

private:
    bool WriteMember();

    std::FILE* m_out;
    libdeflate_compressor* m_compressor;
    std::vector<unsigned char> m_input;  // up to kGzipMemberInputBytes
    std::vector<unsigned char> m_output;
    std::size_t m_members = 0;
    bool m_failed = false;
    std::string m_error;
};

// Compresses the whole file |sourcePath| into the gzip archive |archivePath|.
// The archive is written under |partPath| (replaced if it exists: a leftover of
// an interrupted run), put on the disk and then renamed to |archivePath|, so
// that |archivePath| never holds a partial archive. When |archivePath| exists
// already, its members come first and the new data follows as further members.
//
// Returns true when the archive is complete and on the disk. Otherwise returns
// false with |error| naming the file and the reason ("cannot read
// /var/log/x.log.BAK: Permission denied"); |partPath| is removed and
// |archivePath| is as it was.
bool WriteGzipArchive(const std::string& sourcePath, const std::string& archivePath,
                      const std::string& partPath, std::string& error);

}  // namespace ZelLog
