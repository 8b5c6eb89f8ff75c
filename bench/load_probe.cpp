// load_probe: the real monitor (main window over the port services the program uses) under a
// measured load.
//
// Start it where the MIDI system offers exactly one input device (the source to measure) and one
// output device (a receiver), so that neither open asks for a choice, or name them with --input
// and --output: the device choice is then answered with them. It starts the window as the
// program does, shows it, checks "Allow MIDI output" and prints
//     ready input=<device> output=<device>
// then runs until the counts shown add up to --expect (and --linger seconds more, so that a script
// can still look at the running process), until nothing new has been counted for --idle seconds
// after the first message, or --timeout seconds after ready. It then prints one
// "key value" line per figure (counts, overrun, CPU time and resident memory since ready, the
// longest gap between two drains) and exits through the Exit button: 0 when the expected number
// was counted without an overrun, 1 otherwise, 2 for bad usage.
//
// --direct-thru 1 and --drain-early 1 run it as `tamblin --direct-thru` and `--drain-early` do.
// --page shows that page of the window (0 Notes, as at start, 1 Program Changes, 2 Controllers,
// 3 Misc: the log and the counts). The counts are read from the decoder, so that every page can
// be measured. --capture FILE writes every message to FILE as `tamblin --capture FILE` does.
//
//   QT_QPA_PLATFORM=offscreen load_probe --expect N [--linger S] [--idle S] [--timeout S]
//                                        [--direct-thru 0|1] [--drain-early 0|1] [--page 0-3]
//                                        [--input DEVICE] [--output DEVICE] [--capture FILE]
#include <sys/resource.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "capture/CaptureFile.h"
#include "input/InputRing.h"
#include "ports/CompositePortService.h"
#include "ports/PipeWireProps.h"
#include "ports/RtMidiPortService.h"
#include "ports/jack/JackPortService.h"
#include "windows/Tambview.h"

namespace {

struct Options {
    long expect = -1;
    double lingerSeconds = 0;
    double idleSeconds = 5;
    double timeoutSeconds = 300;
    bool directThru = false;
    int page = 0;
    bool drainEarly = false;
    QString input;  // devices to pick when the window asks; empty: no choice expected
    QString output;
    std::string capture;  // --capture's file; empty for none
};

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--capture") == 0) {
            o.capture = argv[i + 1];
            continue;
        }
        if (std::strcmp(argv[i], "--input") == 0 || std::strcmp(argv[i], "--output") == 0) {
            (argv[i][2] == 'i' ? o.input : o.output) = QString::fromLocal8Bit(argv[i + 1]);
            continue;
        }
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (end == argv[i + 1] || *end != '\0' || value < 0) return std::nullopt;
        if (std::strcmp(argv[i], "--expect") == 0)
            o.expect = static_cast<long>(value);
        else if (std::strcmp(argv[i], "--linger") == 0)
            o.lingerSeconds = value;
        else if (std::strcmp(argv[i], "--idle") == 0)
            o.idleSeconds = value;
        else if (std::strcmp(argv[i], "--timeout") == 0)
            o.timeoutSeconds = value;
        else if (std::strcmp(argv[i], "--direct-thru") == 0)
            o.directThru = value != 0;
        else if (std::strcmp(argv[i], "--page") == 0 && value <= 3)
            o.page = static_cast<int>(value);
        else if (std::strcmp(argv[i], "--drain-early") == 0)
            o.drainEarly = value != 0;
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || o.expect < 0) return std::nullopt;
    return o;
}

// User plus system time of every thread of the process: the window's and the MIDI system's.
double cpuMilliseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

class Probe : public QObject {
public:
    Probe(tamblin::windows::Tambview& window, const tamblin::input::InputRing& ring,
          const Options& options)
        : window_(window), ring_(ring), options_(options) {}

    bool start() {
        window_.setEndProgram([] { QCoreApplication::exit(0); });
        // Nobody is there to answer a modal window: the overrun message is recorded and
        // confirmed; a device choice means the set-up offered more than one device. The watcher
        // looks every 20 ms, but only from the showing of a window until no modal one is up: a
        // timer left running would wake the window's thread 50 times a second, and that work
        // would be counted as the monitor's.
        watcher_ = new QTimer(this);
        connect(watcher_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) {
                watcher_->stop();
                return;
            }
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                modalText_ = box->text().toStdString();
                if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
                    ok->click();
                    return;
                }
            } else if (chooseDevice(modal)) {
                return;
            } else {
                modalText_ = "a device choice: more than one device was offered";
            }
            modal->close();
        });
        qApp->installEventFilter(this);

        window_.load();
        window_.show();
        window_.findChild<QTabBar*>(QStringLiteral("tabBar"))->setCurrentIndex(options_.page);
        window_.findChild<QCheckBox*>(QStringLiteral("chkMidiOut"))->setChecked(true);
        if (window_.midiInHnd() == 0 || window_.midiOutHnd() == 0) {
            std::printf("error no input or no output port could be opened\n");
            return false;
        }
        std::printf("ready input=%s output=%s\n", lineText("txtMidiIn").c_str(),
                    lineText("txtMidiOut").c_str());
        std::fflush(stdout);

        cpuAtReady_ = cpuMilliseconds();
        rssAtReady_ = residentKilobytes();
        sinceReady_.start();
        // Connected after the window's own handler, so it runs right after each drain.
        auto* refresh = window_.findChild<QTimer*>(QStringLiteral("Timer"));
        connect(refresh, &QTimer::timeout, this, &Probe::afterDrain);
        return true;
    }

    int finish() {
        const double cpu = cpuMilliseconds() - cpuAtReady_;
        const long counted = total();
        const bool overrun = ring_.overrun();
        for (int k = 0; k < tamblin::input::kMessageClasses; ++k)
            std::printf("count%d %ld\n", k, count(k));
        std::printf("counted %ld\n", counted);
        std::printf("overrun %d\n", overrun ? 1 : 0);
        std::printf("ended_by_window %d\n", window_.ended() ? 1 : 0);
        std::printf("modal_text %s\n", modalText_.empty() ? "-" : modalText_.c_str());
        std::printf("cpu_ms %.1f\n", cpu);
        std::printf("cpu_us_per_message %.2f\n", counted > 0 ? cpu * 1e3 / counted : 0.0);
        std::printf("last_count_ms %lld\n", static_cast<long long>(lastCountAt_));
        std::printf("longest_drain_gap_ms %lld\n", static_cast<long long>(longestGap_));
        std::printf("rss_kb_ready %ld\n", rssAtReady_);
        std::printf("rss_kb_end %ld\n", residentKilobytes());
        std::fflush(stdout);
        if (!window_.ended()) window_.cmdExit_Click();
        return counted == options_.expect && !overrun ? 0 : 1;
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && object->isWidgetType() &&
            static_cast<QWidget*>(object)->isWindow() && !watcher_->isActive())
            watcher_->start(20);
        return false;
    }

private:
    // Answers the device dialog with --input or --output when it lists one of them.
    bool chooseDevice(QWidget* dialog) {
        auto* list = dialog->findChild<QListWidget*>(QStringLiteral("lstDevs"));
        auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("OKButton"));
        if (list == nullptr || ok == nullptr) return false;
        for (int row = 0; row < list->count(); ++row) {
            const QString name = list->item(row)->text();
            if (name.isEmpty() || (name != options_.input && name != options_.output)) continue;
            list->setCurrentRow(row);
            ok->click();
            return true;
        }
        return false;
    }

    std::string lineText(const char* name) const {
        return window_.findChild<QLineEdit*>(QString::fromLatin1(name))->text().toStdString();
    }

    long count(int messageClass) const {
        return static_cast<long>(window_.decoder().count(messageClass));
    }

    long total() const {
        long sum = 0;
        for (int k = 0; k < tamblin::input::kMessageClasses; ++k) sum += count(k);
        return sum;
    }

    void afterDrain() {
        const qint64 now = sinceReady_.elapsed();
        if (lastDrain_ >= 0 && total() > 0) longestGap_ = std::max(longestGap_, now - lastDrain_);
        lastDrain_ = now;
        const long counted = total();
        if (counted != lastTotal_) {
            lastTotal_ = counted;
            lastCountAt_ = now;
        }
        if (counted >= options_.expect && doneAt_ < 0) doneAt_ = now;
        const bool done = doneAt_ >= 0 && now - doneAt_ >= options_.lingerSeconds * 1e3;
        const bool idle = counted > 0 && now - lastCountAt_ > options_.idleSeconds * 1e3;
        const bool late = now > options_.timeoutSeconds * 1e3;
        if (done || idle || late || window_.ended()) QCoreApplication::exit(0);
    }

    tamblin::windows::Tambview& window_;
    const tamblin::input::InputRing& ring_;
    Options options_;
    double cpuAtReady_ = 0;
    long rssAtReady_ = 0;
    QElapsedTimer sinceReady_;
    qint64 lastDrain_ = -1;
    qint64 longestGap_ = 0;
    long lastTotal_ = 0;
    qint64 lastCountAt_ = 0;
    qint64 doneAt_ = -1;
    std::string modalText_;
    QTimer* watcher_ = nullptr;
};

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fputs(
            "usage: load_probe --expect N [--linger S] [--idle S] [--timeout S] "
            "[--direct-thru 0|1] [--drain-early 0|1] [--page 0-3] [--input DEVICE] "
            "[--output DEVICE] [--capture FILE]\n",
            stderr);
        return 2;
    }
    // As the program does, before any thread may read the environment.
    if (const std::string warning = tamblin::ports::keepMidiEventsExact(); !warning.empty())
        std::fprintf(stderr, "load_probe: %s\n", warning.c_str());
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamblin"));

    using namespace tamblin::ports;
    tamblin::input::InputRing ring(tamblin::input::InputRing::sizeFor(options->drainEarly));
    HandleSource handles;
    RtMidiPortService alsa(makeRtMidiSystem(), &handles);
    JackPortService jack({.directThru = options->directThru}, &handles);
    CompositePortService service({&alsa, &jack});
    std::unique_ptr<tamblin::capture::CaptureFile> capture;
    if (!options->capture.empty()) {
        std::string error;
        capture = tamblin::capture::CaptureFile::open(
            options->capture,
            [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }, error);
        if (!capture) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }
    tamblin::windows::Tambview window(service, ring);
    window.setDrainEarly(options->drainEarly);
    if (capture) window.setCapture(capture.get());
    Probe probe(window, ring, *options);
    if (!probe.start()) return 1;
    QApplication::exec();
    return probe.finish();
}
