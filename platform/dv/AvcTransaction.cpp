#include "platform/dv/AvcTransaction.h"

#include <libavc1394/rom1394.h>
#include <libraw1394/csr.h>
#include <libraw1394/raw1394.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>

namespace th::dv {

namespace {

constexpr std::uint16_t kBusNode = 0xffc0;
constexpr auto kRetryPause = std::chrono::milliseconds(10);
// TRANSPORT STATE: the answer carries the state's opcode in place of D0.
constexpr std::uint8_t kOpcodeTransportState = 0xD0;

} // namespace

int nodeOfGuid(raw1394_handle* handle, std::uint64_t guid)
{
    const int nodes = raw1394_get_nodecount(handle);
    for (int n = 0; n < nodes; ++n) {
        if (static_cast<std::uint16_t>(n) == (raw1394_get_local_id(handle) & 0x3F))
            continue;
        if (rom1394_get_guid(handle, static_cast<nodeid_t>(n)) == guid)
            return n;
    }
    return -1;
}

AvcUnit::AvcUnit(std::uint64_t guid, int node) : guid_(guid), node_(node)
{
    handle_ = raw1394_new_handle();
    if (!handle_)
        return;
    if (raw1394_set_port(handle_, 0) != 0) {
        raw1394_destroy_handle(handle_);
        handle_ = nullptr;
        return;
    }
    raw1394_set_userdata(handle_, this);
    raw1394_set_bus_reset_handler(handle_, &AvcUnit::onBusReset);
    raw1394_set_fcp_handler(handle_, &AvcUnit::onFcp);
    raw1394_start_fcp_listen(handle_);
}

AvcUnit::~AvcUnit()
{
    if (!handle_)
        return;
    raw1394_stop_fcp_listen(handle_);
    raw1394_destroy_handle(handle_);
}

int AvcUnit::onBusReset(raw1394_handle* handle, unsigned int generation)
{
    raw1394_update_generation(handle, generation);
    static_cast<AvcUnit*>(raw1394_get_userdata(handle))->reset_ = true;
    return 0;
}

int AvcUnit::onFcp(raw1394_handle* handle, std::uint16_t node, int response, std::size_t length, unsigned char* data)
{
    auto* self = static_cast<AvcUnit*>(raw1394_get_userdata(handle));
    if (!response || length < 3 || (node & 0x3F) != (self->node_ & 0x3F))
        return 0;
    if (self->searching_ && data[0] != kAvcInterim && data[1] == self->searchSubunit_
        && data[2] == self->searchOpcode_) {
        // The end of a search that was left to the deck.
        self->searching_ = false;
        self->searchAnswer_ = data[0];
        return 0;
    }
    if (!self->waiting_ || data[1] != self->subunit_ || (!self->anyOpcode_ && data[2] != self->opcode_))
        return 0;
    if (data[0] == kAvcInterim && !self->interimEnds_)
        return 0; // the deck is at it; the final answer follows
    self->answer_.assign(data, data + length);
    self->final_ = true;
    return 0;
}

void AvcUnit::pump(std::chrono::milliseconds wait)
{
    pollfd p{raw1394_get_fd(handle_), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) > 0 && (p.revents & POLLIN))
        raw1394_loop_iterate(handle_);
}

AvcUnit::Outcome AvcUnit::transact(const std::uint8_t* command, std::size_t length, std::vector<std::uint8_t>* answer,
                                   std::chrono::milliseconds deadline, bool untilInterim)
{
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handle_ || length < 3 || length > 512)
        return Outcome::Gone;
    const Clock::time_point end = Clock::now() + deadline;
    // Answers to earlier commands that came too late are thrown away.
    pump(std::chrono::milliseconds(0));
    waiting_ = true;
    final_ = false;
    subunit_ = command[1];
    opcode_ = command[2];
    anyOpcode_ = command[2] == kOpcodeTransportState;
    interimEnds_ = untilInterim;

    std::vector<quadlet_t> frame((length + 3) / 4, 0);
    std::memcpy(frame.data(), command, length);
    for (;;) {
        if (reset_) {
            reset_ = false;
            node_ = nodeOfGuid(handle_, guid_);
        }
        if (node_ < 0) {
            waiting_ = false;
            return Outcome::Gone;
        }
        if (raw1394_write(handle_, kBusNode | static_cast<nodeid_t>(node_), CSR_REGISTER_BASE + CSR_FCP_COMMAND,
                          frame.size() * 4, frame.data())
            == 0)
            break;
        const int error = errno;
        if (Clock::now() >= end || (error != EAGAIN && error != ENODEV && error != EIO)) {
            waiting_ = false;
            return error == ENODEV ? Outcome::Gone : Outcome::NoAnswer;
        }
        // A bus reset: the generation and the node are found again.
        pump(kRetryPause);
        reset_ = true;
    }
    while (!final_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            break;
        pump(std::min(left, std::chrono::milliseconds(100)));
    }
    waiting_ = false;
    if (!final_)
        return Outcome::NoAnswer;
    *answer = answer_;
    if (answer_[0] == kAvcInterim) {
        searching_ = true;
        searchSubunit_ = answer_[1];
        searchOpcode_ = answer_[2];
        searchAnswer_ = 0;
    }
    return Outcome::Answered;
}

std::uint8_t AvcUnit::searchAnswer()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_)
        pump(std::chrono::milliseconds(0));
    return searching_ ? 0 : searchAnswer_;
}

} // namespace th::dv
