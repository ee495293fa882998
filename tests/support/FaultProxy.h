#pragma once

// A TCP proxy on loopback that stands between a program and its server and
// breaks the links on request: it cuts them (at once, or once a number of
// further bytes has passed, so in the middle of a frame), holds their bytes
// for a while and then delivers them, adds latency, or passes bytes on in
// tiny pieces. One thread polls every socket; it ends with the object.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace orvtest {

// Up: from the program to the server; Down: back.
enum class TFlow : std::uint8_t { Up = 1, Down = 2, Both = 3 };

class FaultProxy
{
public:
    // Listens on 127.0.0.1 on a free port; every link it accepts it opens
    // anew to 127.0.0.1:targetPort.
    explicit FaultProxy(std::uint16_t targetPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    std::uint16_t Port() const noexcept;
    // Where the links opened from now on go (a server started again elsewhere).
    void SetTarget(std::uint16_t port);

    // Ends every link open at that moment: at once, or once afterBytes more
    // bytes of the flow have been passed on (across all links). reset: both
    // ends get a TCP reset instead of an orderly close.
    void Cut(std::size_t afterBytes = 0, TFlow flow = TFlow::Both, bool reset = false);
    // Holds the bytes (and closes) of the flow for the time, on new links too,
    // then delivers them in order. Reading goes on meanwhile.
    void Stall(std::chrono::milliseconds time, TFlow flow = TFlow::Both);
    // Every byte goes out this long after it came in.
    void SetDelay(std::chrono::milliseconds delay);
    // Bytes go out in pieces of min to max bytes (0, 0: as they came).
    void SetSlices(std::size_t min, std::size_t max);

    std::size_t LinksAccepted() const;
    std::size_t LinksOpen() const;
    // Cuts carried out so far.
    std::size_t Cuts() const;
    std::uint64_t BytesPassed(TFlow flow) const;
    // Bytes read but not yet delivered, both flows.
    std::size_t BytesHeld() const;

private:
    class TLoop;
    std::unique_ptr<TLoop> FLoop;
};

} // namespace orvtest
