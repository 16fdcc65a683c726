// Helpers of the application's tests: free loopback ports, senders, and the
// hand that answers the modal boxes a window test runs into.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <functional>
#include <string>
#include <vector>

namespace tapscope::testing {

// A port on 127.0.0.1 that nothing listens on at the moment (the system's
// choice for port 0, released again).
inline unsigned short FreeUdpPort() {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(
        io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return socket.local_endpoint().port();
}
inline unsigned short FreeTcpPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

inline void SendDatagram(unsigned short port, const std::string& payload) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
    socket.send_to(
        boost::asio::buffer(payload),
        boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
}

// Answers the modal boxes that come up while it lives: each one's text is
// recorded and |choose| picks the button to press (OK or Yes by default).
class ModalBoxAnswerer {
public:
    explicit ModalBoxAnswerer(
        std::function<QMessageBox::StandardButton(const QMessageBox&)> choose = {})
        : m_choose(std::move(choose)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(5);
    }

    const std::vector<std::string>& Texts() const { return m_texts; }

private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box == m_last) {
            return;
        }
        m_last = box;
        m_texts.push_back(box->text().toStdString());
        QMessageBox::StandardButton button =
            m_choose
                ? m_choose(*box)
                : (box->button(QMessageBox::Yes) != nullptr ? QMessageBox::Yes : QMessageBox::Ok);
        box->button(button)->click();
    }

    std::function<QMessageBox::StandardButton(const QMessageBox&)> m_choose;
    QTimer m_timer;
    QPointer<QMessageBox> m_last;
    std::vector<std::string> m_texts;
};

}  // namespace tapscope::testing
