// Drawing and panel timings of the interface: one recording tray icon at 2×, the capture panel
// from show() to its first paint, one panel update while recording (the clock and the wave),
// and the process's CPU share while recording with the panel open at 10 updates a second.
// Needs a display (scripts/with-desktop-env build/bench/ui_bench) or QT_QPA_PLATFORM=offscreen.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "app/ui/anchored_panel.h"
#include "app/ui/capture_panel.h"
#include "app/ui/status_icon_renderer.h"
#include "app/tray/tray_anchor_lookup.h"

namespace talvo {
namespace {

QApplication& app() {
  static int argc = 1;
  static char name[] = "ui_bench";
  static char* argv[] = {name, nullptr};
  static QApplication* instance = new QApplication(argc, argv);
  return *instance;
}

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size()))) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

void reportMicroseconds(benchmark::State& state, const std::vector<double>& seconds) {
  state.counters["median_us"] = percentile(seconds, 0.5) * 1e6;
  state.counters["p99_us"] = percentile(seconds, 0.99) * 1e6;
}

void BM_RecordingIconAt2x(benchmark::State& state) {
  app();
  StatusIconRenderer renderer;
  std::vector<float> levels{0.1f, 0.4f, 0.9f, 0.3f, 0.7f, 0.2f, 0.5f};
  std::vector<double> samples;
  for (auto _ : state) {
    std::rotate(levels.begin(), levels.begin() + 1, levels.end());
    const auto start = std::chrono::steady_clock::now();
    QImage image = renderer.image(true, levels, TrayLook{true, false, 2.0});
    benchmark::DoNotOptimize(image.constBits());
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  reportMicroseconds(state, samples);
  if (renderer.budget().unusable()) state.SkipWithError("the drawing budget gave up");
}
BENCHMARK(BM_RecordingIconAt2x);

struct RecordingModels : CapturePanelModels {
  CapturePanelState s;
  CapturePanelState state() const override { return s; }
  void perform(CapturePanelAction) override {}
};

// Counts paints of the panel window and of the widgets inside it.
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

struct PanelRig {
  RecordingModels models;
  CapturePanel* content;
  std::unique_ptr<AnchoredPanel> host;
  PaintCounter counter;

  PanelRig() {
    app();
    models.s.recording = true;
    models.s.connected = true;
    models.s.accountLabel = QStringLiteral("@ivanov");
    models.s.tariffLabel = QStringLiteral("Тариф: Старт · 120 мин");
    models.s.queueLabel = QStringLiteral("В очереди: 2 записи");
    models.s.levels.assign(35, 0.3f);
    content = new CapturePanel(models);
    host = std::make_unique<AnchoredPanel>(content, [] {
      const QRect screen = QGuiApplication::primaryScreen()->geometry();
      return TrayAnchorLookup::fromGeometry(QRect(screen.right() - 30, 1, 22, 30));
    });
    host->window()->installEventFilter(&counter);
  }

  // Runs the event loop until a paint happened (or 1 s passed).
  void untilPainted() {
    QElapsedTimer limit;
    limit.start();
    const int before = counter.paints;
    while (counter.paints == before && limit.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
};

void BM_PanelOpenToFirstPaint(benchmark::State& state) {
  PanelRig rig;
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    rig.host->show(true);
    rig.untilPainted();
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.PauseTiming();
    rig.host->close();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  reportMicroseconds(state, samples);
}
BENCHMARK(BM_PanelOpenToFirstPaint)->Unit(benchmark::kMillisecond)->Iterations(100);

void BM_PanelUpdateWhileRecording(benchmark::State& state) {
  PanelRig rig;
  rig.host->show(true);
  rig.untilPainted();
  std::vector<double> samples;
  int tick = 0;
  for (auto _ : state) {
    ++tick;
    rig.models.s.elapsed = tick * 0.1;
    std::rotate(rig.models.s.levels.begin(), rig.models.s.levels.begin() + 1, rig.models.s.levels.end());
    rig.models.s.levels.back() = float(tick % 10) / 10.0f;
    const auto start = std::chrono::steady_clock::now();
    rig.content->refresh();
    rig.untilPainted();
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  reportMicroseconds(state, samples);
}
BENCHMARK(BM_PanelUpdateWhileRecording)->Unit(benchmark::kMillisecond)->Iterations(300);

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ten seconds of recording with the panel open: 10 model updates a second, each also redrawing
// the tray icon, as the shell does.
void BM_RecordingCpuShare(benchmark::State& state) {
  PanelRig rig;
  StatusIconRenderer renderer;
  rig.host->show(true);
  rig.untilPainted();
  for (auto _ : state) {
    int tick = 0;
    QTimer progress;
    progress.setInterval(100);
    QObject::connect(&progress, &QTimer::timeout, [&] {
      ++tick;
      rig.models.s.elapsed = tick * 0.1;
      std::rotate(rig.models.s.levels.begin(), rig.models.s.levels.begin() + 1, rig.models.s.levels.end());
      rig.models.s.levels.back() = float(tick % 10) / 10.0f;
      rig.content->refresh();
      QImage icon =
          renderer.image(true, std::span<const float>(rig.models.s.levels).last(7), TrayLook{true, false, 2.0});
      benchmark::DoNotOptimize(icon.constBits());
    });
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    progress.start();
    QEventLoop loop;  // sleeps between events, as the program's own loop does
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    progress.stop();
    const double cpu = cpuSeconds() - cpuBefore;
    state.counters["cpu_percent"] = 100.0 * cpu / (double(wall.elapsed()) / 1000.0);
    state.counters["updates"] = tick;
  }
}
BENCHMARK(BM_RecordingCpuShare)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace talvo

BENCHMARK_MAIN();
