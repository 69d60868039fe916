#pragma once

// A broker for tests and benchmarks that never acknowledges (Linux, loopback).

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// A broker of the test's own on the loopback that accepts each connection
// and reads every message, but acknowledges none (no PUBACK, no PINGRESP);
// it ends each connection once the client has been quiet for a moment, so
// that the publisher comes back again and again. The last connection, with
// acknowledging, acknowledges everything and stays.
class SilentBroker
{
public:
    SilentBroker(int connections, bool acknowledging) : count(connections), acks(acknowledging)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
            listen(listener, 4) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        worker = std::thread([this] { Serve(); });
    }
    ~SilentBroker()
    {
        stop = true;
        worker.join();
        close(listener);
    }
    int Connections()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(received.size());
    }
    // The packet ids of each connection's messages, in order.
    std::vector<std::vector<int>> Received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    quint16 port = 0;

private:
    enum class Read
    {
        Packet,
        Quiet, // nothing for 200 ms
        Closed
    };
    Read Packet(int fd, unsigned char *type, QByteArray *body)
    {
        pollfd one{fd, POLLIN, 0};
        if (poll(&one, 1, 200) != 1)
            return Read::Quiet;
        unsigned char byte = 0;
        if (read(fd, type, 1) != 1)
            return Read::Closed;
        int length = 0;
        for (int shift = 0; shift < 28; shift += 7) {
            if (read(fd, &byte, 1) != 1)
                return Read::Closed;
            length |= (byte & 0x7f) << shift;
            if (!(byte & 0x80))
                break;
        }
        body->resize(length);
        for (int got = 0; got < length;) {
            const ssize_t n = read(fd, body->data() + got, std::size_t(length - got));
            if (n <= 0)
                return Read::Closed;
            got += int(n);
        }
        return Read::Packet;
    }
    void Serve()
    {
        for (int i = 0; i < count && !stop; ++i) {
            pollfd waiting{listener, POLLIN, 0};
            while (!stop && poll(&waiting, 1, 100) != 1) {
            }
            if (stop)
                return;
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.emplace_back();
            }
            const bool last = acks && i == count - 1;
            unsigned char type = 0;
            QByteArray body;
            for (Read got; !stop && (got = Packet(fd, &type, &body)) != Read::Closed;) {
                if (got == Read::Quiet) {
                    if (last)
                        continue;
                    break;
                }
                if ((type >> 4) == 1) { // CONNECT: accepted
                    const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
                    if (write(fd, connack, sizeof connack) != sizeof connack)
                        break;
                } else if ((type >> 4) == 3 && ((type >> 1) & 3) == 1) { // PUBLISH, QoS 1
                    const int topic = (uchar(body[0]) << 8) | uchar(body[1]);
                    const int id = (uchar(body[2 + topic]) << 8) | uchar(body[3 + topic]);
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        received.back().push_back(id);
                    }
                    if (last) {
                        const unsigned char puback[] = {0x40, 0x02, uchar(id >> 8), uchar(id)};
                        if (write(fd, puback, sizeof puback) != sizeof puback)
                            break;
                    }
                }
            }
            close(fd);
        }
    }

    const int count;
    const bool acks;
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex mutex;
    std::vector<std::vector<int>> received;
};
