#pragma once
// AV/C commands to one unit on the FireWire bus, as FCP transactions on a
// libraw1394 handle of our own: the command is written to the unit's FCP
// command register and the answer comes back as a write to ours. A deck
// answers INTERIM first for commands that take long (a search), and the final
// answer (ACCEPTED, REJECTED...) when it is done. A transaction either waits
// past INTERIM for the final answer, or ends at INTERIM: then the search goes
// on in the deck and its final answer, whenever it comes, is taken aside
// (searchAnswer) rather than for the answer of a later command. libavc1394's
// blocking transaction cannot be used: it gives up after its own short poll.
//
// The unit is found by its GUID again after every bus reset (node numbers
// change). One command at a time; any thread. No Qt.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

struct raw1394_handle;

namespace th::dv {

// AV/C response codes (byte 0 of an answer).
inline constexpr std::uint8_t kAvcNotImplemented = 0x08;
inline constexpr std::uint8_t kAvcAccepted = 0x09;
inline constexpr std::uint8_t kAvcRejected = 0x0A;
inline constexpr std::uint8_t kAvcStable = 0x0C;
inline constexpr std::uint8_t kAvcInterim = 0x0F;

// The node (0..62) whose configuration ROM carries `guid`; -1 when none does.
int nodeOfGuid(raw1394_handle* handle, std::uint64_t guid);

class AvcUnit {
public:
    enum class Outcome { Answered, NoAnswer, Gone };

    AvcUnit(std::uint64_t guid, int node);
    ~AvcUnit();
    AvcUnit(const AvcUnit&) = delete;
    AvcUnit& operator=(const AvcUnit&) = delete;

    bool open() const { return handle_ != nullptr; }
    // Sends `command` and waits up to `deadline` for its final answer (or,
    // with `untilInterim`, for INTERIM too), which goes into *answer (byte 0:
    // the response code).
    Outcome transact(const std::uint8_t* command, std::size_t length, std::vector<std::uint8_t>* answer,
                     std::chrono::milliseconds deadline, bool untilInterim = false);
    // The final response code of the last command answered INTERIM; 0 while it is under way.
    std::uint8_t searchAnswer();

private:
    static int onFcp(raw1394_handle* handle, std::uint16_t node, int response, std::size_t length,
                     unsigned char* data);
    static int onBusReset(raw1394_handle* handle, unsigned int generation);
    // Handles what the bus has sent, waiting up to `wait`.
    void pump(std::chrono::milliseconds wait);

    std::mutex mutex_;
    raw1394_handle* handle_ = nullptr;
    std::uint64_t guid_;
    int node_;
    bool reset_ = false;
    // The transaction under way.
    bool waiting_ = false;
    std::uint8_t subunit_ = 0, opcode_ = 0;
    bool anyOpcode_ = false;
    bool interimEnds_ = false;
    bool final_ = false;
    // The command answered INTERIM whose final answer is still to come.
    bool searching_ = false;
    std::uint8_t searchSubunit_ = 0, searchOpcode_ = 0, searchAnswer_ = 0;
    std::vector<std::uint8_t> answer_;
};

} // namespace th::dv
