// SocatPty: a pseudo-terminal pair joined by a socat child process. Whatever
// is written to one end (PeerPath) comes out of the other (DevicePath), which
// a serial transport opens as its port. Ending socat makes the device end's
// pending read fail, as a device that goes away does.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace tapscope::testing {

class SocatPty {
public:
    // Starts socat and waits until both ends exist; Ok() tells whether it did.
    SocatPty();
    // The same, with both ends' links in |folder| rather than a folder of its
    // own: a second pair made there after the first ended stands under the
    // same names, as a re-plugged device under its stable name.
    explicit SocatPty(const std::string& folder);
    ~SocatPty();
    SocatPty(const SocatPty&) = delete;
    SocatPty& operator=(const SocatPty&) = delete;

    bool Ok() const { return m_ok; }
    // What went wrong when !Ok().
    const std::string& Error() const { return m_error; }

    // The end the transport opens (a symlink to /dev/pts/N).
    std::string DevicePath() const { return m_links + "/device"; }
    // The end the test writes to.
    std::string PeerPath() const { return m_links + "/peer"; }

    // Writes |bytes| to the peer end in one write; false on failure. The peer
    // end stays open until End, so that socat never sees it close.
    bool Write(const std::string& bytes);
    // Ends socat (and with it both pseudo-terminals) and waits for it.
    void End();

private:
    void Launch();

    TempDir m_folder;
    std::string m_links = m_folder.Path();  // where the two links are
    pid_t m_pid = -1;
    int m_peer = -1;
    bool m_ok = false;
    std::string m_error;
};

}  // namespace tapscope::testing
