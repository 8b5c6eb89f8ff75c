#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/CaptureSink.h"

namespace tamblin::capture {

// The file of --capture: every message the input delivers, with its arrival time, as a Standard
// MIDI File (SmfTrack) or as CSV (CsvRows), by the file name's extension. Time 0 is when the file
// was opened; a message's time is its time on the input port's clock plus the moment that port
// started. Each input device opened is written as a marker (a CSV row) named after it.
//
// Threads: the user-interface thread hands it messages (CaptureSink) and, at the end of each
// drain, the drain's batch; a thread of its own turns the batches into the file's bytes and
// writes them, so that a slow disk never holds the window up. Writing stops for good, with one
// report, when a write fails or when more than kMaxWaiting bytes of batches wait for the disk.
class CaptureFile final : public input::CaptureSink {
public:
    enum class Format { Smf, Csv };
    using Report = std::function<void(const std::string& text)>;
    // Microseconds from any start, steadily on; the steady clock unless a test gives its own.
    using Clock = std::function<std::int64_t()>;
    static constexpr std::size_t kMaxWaiting = 8 * 1024 * 1024;

    // The format a file name asks for: ".mid" or ".csv" in any case; nothing for another name.
    static std::optional<Format> formatOf(std::string_view path);

    // Creates `path` (emptied if it exists) and writes its start: a MIDI file with no event yet,
    // or the CSV header. Null, with `error` set, when it cannot. `report` receives the one-line
    // reports; it may run on the writing thread.
    static std::unique_ptr<CaptureFile> open(const std::string& path, Report report,
                                             std::string& error, Clock clock = {});
    // Gives what still waits up to two seconds to be written, then lets go of it.
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // The separator of the log lines' times in the CSV (the window's locale's), "." until set.
    void setDecimalSeparator(std::string separator);

    void inputOpened(std::string_view name, std::int64_t clockMicros) override;
    void message(std::span<const std::uint8_t> bytes, std::int64_t micros) override;
    void drained() override;

    // Whether writing has stopped (a failed write, or a disk that fell behind).
    bool stopped() const;

    // What the writing thread works on: the messages of one drain.
    struct Record {
        bool device;          // an input device opened, named by the bytes
        std::int64_t micros;  // since the capture began
        std::int32_t logTime;
        std::uint32_t offset;  // of the bytes in Batch::bytes
        std::uint32_t size;
    };
    struct Batch {
        std::vector<Record> records;
        std::vector<std::uint8_t> bytes;
        std::size_t weight() const { return records.size() * sizeof(Record) + bytes.size(); }
    };

private:
    struct State;
    CaptureFile(std::shared_ptr<State> state, Clock clock);
    std::int64_t elapsedMicros() const { return clock_() - began_; }

    std::shared_ptr<State> state_;
    Clock clock_;
    std::int64_t began_;
    // Capture time of the input port's clock's 0.
    std::int64_t base_ = 0;
    Batch batch_;
};

}  // namespace tamblin::capture
