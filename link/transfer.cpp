#include "link/transfer.h"

#include <algorithm>
#include <cstring>

#include "common/print.h"
#include "common/shared.h"
#include "link/discovery.h"
#include "platform/clock.h"
#include "platform/device.h"

namespace {

enum class Direction { Out, In };

// How one checked transfer ended. Each failure has its own message, so the
// console says which step of the transfer went wrong.
enum class Outcome { Done, CallFailed, TimedOut, ResultFailed, WrongCount };

MessageId MessageFor(Outcome outcome, Direction direction)
{
    switch (outcome) {
    case Outcome::CallFailed:
        return direction == Direction::Out ? MSG_USB_WRITE_ERROR : MSG_USB_READ_ERROR;
    case Outcome::TimedOut:
        return MSG_USB_TIMEOUT;
    case Outcome::ResultFailed:
        return MSG_USB_OVERLAPPED_ERROR;
    case Outcome::WrongCount:
    case Outcome::Done:
        break;
    }
    return MSG_USB_SIZE_MISMATCH;
}

// The completion event of one operation. It is given back exactly once, on
// every return path, including an event that a reconnect made in place of
// the first.
class CompletionEvent {
public:
    CompletionEvent() = default;
    ~CompletionEvent() { Release(); }
    CompletionEvent(const CompletionEvent&) = delete;
    CompletionEvent& operator=(const CompletionEvent&) = delete;

    // True when the platform made one.
    bool Create()
    {
        m_event = CreateCompletionEvent();
        return m_event != NO_HANDLE;
    }

    void Release()
    {
        if (m_event != NO_HANDLE) {
            CloseObject(m_event);
            m_event = NO_HANDLE;
        }
    }

    Handle Get() const { return m_event; }

private:
    Handle m_event = NO_HANDLE;
};

// The common entry of every transfer: a device to talk to and a completion
// event of the call's own; without either the call fails at once, silently.
bool BeginTransfer(Handle* device, CompletionEvent* event)
{
    *device = DeviceHandle;
    if (!IsOpenHandle(*device)) {
        return false;
    }
    return event->Create();
}

// Where one transfer's bytes come from (out) or go to (in).
struct TransferBuffer {
    Direction direction;
    const void* source;  // out
    void* target;        // in
    std::uint32_t size;
};

TransferBuffer OutOf(const void* data, std::uint32_t size)
{
    return {Direction::Out, data, nullptr, size};
}

TransferBuffer InTo(void* data, std::uint32_t size)
{
    return {Direction::In, nullptr, data, size};
}

BulkPipe PipeOf(Direction direction)
{
    return direction == Direction::Out ? BulkPipe::WriteData : BulkPipe::ReadData;
}

// Issues one transfer, waits for its completion signal and takes the
// driver's count. Only a transfer that moved exactly the bytes asked for is
// done: a short write or a short reply is never taken for a whole one.
Outcome CheckedTransfer(Handle device, Handle event, const TransferBuffer& buffer)
{
    TransferOverlapped overlapped{};
    overlapped.hEvent = event;
    std::uint32_t transferred = 0;

    // A reconnect that found nothing leaves no device; that try fails as
    // its call would, without handing the platform a handle it never gave.
    bool called = false;
    // Once the process is about to end, the scanner gets nothing new.
    const bool refused = buffer.direction == Direction::Out && ProcessEnding;
    if (IsOpenHandle(device) && !refused) {
        called = buffer.direction == Direction::Out
                     ? WriteDevice(device, buffer.source, buffer.size, &transferred, &overlapped)
                     : ReadDevice(device, buffer.target, buffer.size, &transferred, &overlapped);
    }
    if (!called) {
        // A device that stalled keeps its pipe halted, failing every later
        // transfer on it, until the host resets it; reopening the path does
        // not clear it. The reset costs nothing on a pipe that is not halted.
        if (IsOpenHandle(device) && !refused) {
            ResetBulkPipe(device, PipeOf(buffer.direction));
        }
        return Outcome::CallFailed;
    }
    if (event == NO_HANDLE || !WaitForCompletion(event, TRANSFER_WAIT_MS)) {
        return Outcome::TimedOut;
    }
    transferred = 0;
    if (!FetchTransferResult(device, &overlapped, &transferred)) {
        return Outcome::ResultFailed;
    }
    return transferred == buffer.size ? Outcome::Done : Outcome::WrongCount;
}

// One stage of the retrying exchange: up to EXCHANGE_TRIES transfers with a
// reconnect between two of them. A wrong byte count is not retried: the
// device answered, and sending the block again would repeat the command.
bool RetriedStage(CompletionEvent& event, const TransferBuffer& buffer)
{
    for (int attempt = 1;; ++attempt) {
        // Reread on every try: the reconnect below replaces the handle.
        Outcome outcome = CheckedTransfer(DeviceHandle, event.Get(), buffer);
        if (outcome == Outcome::Done) {
            return true;
        }
        if (outcome == Outcome::WrongCount || attempt == EXCHANGE_TRIES) {
            PrintMessage(MessageFor(outcome, buffer.direction), Language);
            return false;
        }
        // The scanner may have restarted under another path number. A fresh
        // event keeps a late signal from the old device out of the next try.
        // It is not checked: one that could not be made shows up as a failed
        // completion wait on the next try, which then counts like any other.
        event.Release();
        ReconnectScanner();
        event.Create();
        SleepMs(RECONNECT_PAUSE_MS);
    }
}

// Reports a single-try transfer's failure; true when it was done.
bool Reported(Outcome outcome, Direction direction)
{
    if (outcome == Outcome::Done) {
        return true;
    }
    PrintMessage(MessageFor(outcome, direction), Language);
    return false;
}

}  // namespace

bool ExchangeCommand(const CommandBlock* block, StatusReply* reply)
{
    Handle device = NO_HANDLE;
    CompletionEvent event;
    if (!BeginTransfer(&device, &event)) {
        return false;
    }
    // A failed write ends the exchange before anything is read.
    bool done =
        Reported(CheckedTransfer(device, event.Get(), OutOf(block->bytes, COMMAND_BLOCK_SIZE)), Direction::Out) &&
        Reported(CheckedTransfer(device, event.Get(), InTo(reply->bytes, STATUS_REPLY_SIZE)), Direction::In);
    return done;
}

bool ExchangeCommandWithRetry(const CommandBlock* block, StatusReply* reply)
{
    // The retrying exchange reads DeviceHandle afresh for every try: its
    // reconnects replace it.
    Handle device = NO_HANDLE;
    CompletionEvent event;
    if (!BeginTransfer(&device, &event)) {
        return false;
    }
    // A failed reply read only reads again: the device already has the
    // command, and a second block would be taken as a second command.
    bool done = RetriedStage(event, OutOf(block->bytes, COMMAND_BLOCK_SIZE)) &&
                RetriedStage(event, InTo(reply->bytes, STATUS_REPLY_SIZE));
    return done;
}

bool SetCommandTimeouts(Handle device)
{
    const TransferTimeouts timeouts{COMMAND_TIMEOUT_S, COMMAND_TIMEOUT_S, COMMAND_TIMEOUT_S};
    return SetTransferTimeouts(device, &timeouts);
}

bool WriteData(const void* data, std::uint32_t size)
{
    Handle device = NO_HANDLE;
    CompletionEvent event;
    if (!BeginTransfer(&device, &event)) {
        return false;
    }
    // A large write gets the room it needs on the handle for this one
    // request; commands after it get their short time-out back.
    const std::uint32_t seconds = std::min(COMMAND_TIMEOUT_S + size / SLOWEST_BULK_BYTES_PER_S, LONGEST_TIMEOUT_S);
    const bool widened = seconds > COMMAND_TIMEOUT_S;
    if (widened) {
        const TransferTimeouts timeouts{COMMAND_TIMEOUT_S, seconds, COMMAND_TIMEOUT_S};
        SetTransferTimeouts(device, &timeouts);
    }
    // One request for the whole buffer, straight from the caller's memory:
    // the driver cuts it into packets, and the image is never copied.
    bool done = Reported(CheckedTransfer(device, event.Get(), OutOf(data, size)), Direction::Out);
    if (widened) {
        SetCommandTimeouts(device);
    }
    return done;
}

bool ReadData(ClockRecord* record)
{
    Handle device = NO_HANDLE;
    CompletionEvent event;
    if (!BeginTransfer(&device, &event)) {
        return false;
    }
    std::memset(record->bytes, 0, sizeof record->bytes);
    TransferOverlapped overlapped{};
    overlapped.hEvent = event.Get();

    // The record may arrive in pieces; each read asks only for what is still
    // missing and lands right after what came before. The call's own count
    // is taken, without waiting on the event. A read that moves nothing is
    // no progress, so it counts against the same limit as a failed one: a
    // device that keeps answering empty cannot hold the run forever. At the
    // limit the caller gets a failure to report, instead of the process
    // ending with the imaging service and the guards still taken.
    // The count bounds a device that fails at once; the time bounds one the
    // driver holds each read of until its time-out, and one that sends the
    // record in short packets just inside that time-out, each of which ends
    // a read with progress. So the time is judged after every read that
    // leaves the record unfinished, whatever it returned: the bound is
    // overrun by at most the one read under way when it runs out.
    std::uint32_t total = 0;
    int failures = 0;
    bool done = false;
    const std::uint32_t start = TickCount();
    while (!done) {
        std::uint32_t missing = CLOCK_RECORD_SIZE - total;
        std::uint32_t moved = 0;
        const bool called = ReadDevice(device, record->bytes + total, missing, &moved, &overlapped);
        const bool progress = called && moved > 0 && moved <= missing;
        if (progress) {
            total += moved;
            done = total == CLOCK_RECORD_SIZE;
        } else {
            ++failures;
        }
        if (!done && (failures > READ_FAILURE_LIMIT || TickCount() - start >= READ_TIME_LIMIT_MS)) {
            PrintMessage(MSG_USB_TIMEOUT, Language);
            break;
        }
        if (!called) {
            ResetBulkPipe(device, BulkPipe::ReadData);
        }
    }
    return done;
}
