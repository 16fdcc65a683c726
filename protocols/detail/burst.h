// Taking what already waits in a socket without a round through the
// io_context. After a completion has been delivered, the transport tries one
// non-blocking receive at once: when more data waits, it is delivered from
// the same handler; only when nothing waits is the next asynchronous receive
// armed. Without this, every block costs one epoll_wait in the io_context's
// reactor on top of the receive itself, a sixth system call beside the
// capture's receive, open, lseek, write and close.
#pragma once

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

namespace tapscope::protocols::detail {

// Blocks one completion delivers at most before the next receive goes through
// the io_context again, so that other connections and handlers get their turn.
inline constexpr int kBurstLimit = 32;

// True when a non-blocking receive found nothing to take (or was interrupted):
// the asynchronous receive takes over. Any other error is the socket's own.
inline bool NothingWaiting(const boost::system::error_code& error) {
    return error == boost::asio::error::would_block || error == boost::asio::error::try_again ||
           error == boost::asio::error::interrupted;
}

}  // namespace tapscope::protocols::detail
