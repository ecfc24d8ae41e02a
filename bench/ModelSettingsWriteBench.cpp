// What one settings write costs the thread that makes it (a slider step: the main bitrate moves by one
// step) while the main output and three extra outputs run on the test pattern: saving, handing the settings
// to the main pipeline and re-deriving them for every extra output. The disk write itself happens on the
// defaults writer's own thread, so it must not show here. Median and 95th percentile in microseconds.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>

#include "app/model/LinuxPlatformServices.h"
#include "app/model/SenderController.h"
#include "core/SampleWindow.h"
#include "platform/Uuid.h"

namespace {

using namespace kelvora;

void BM_SettingsWriteWithFourOutputs(benchmark::State& state) {
    const auto root = std::filesystem::temp_directory_path() / ("model-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "dev");
    {
        UserDefaults defaults("app.kelvora.sender", root);
        SenderSettings settings;
        settings.senderName = "Messung";
        settings.enabledEngines = {"tcp"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = {640, 360};
        settings.autoResolution = false;
        // Ids of the form the program writes: any other is renewed, and written back, at the first load.
        for (const char* name : {"B1", "B2", "B3"}) {
            settings.extraOutputs.push_back({newUuid(), name, "testpattern", VideoDimensions{640, 360}, 30});
        }
        defaults.set(kSettingsKey, settings.toJson());
        defaults.set(kPresetKey, true);

        SenderPipeline::Options options;
        options.announce = false;
        SenderControllerServices services = SenderControllerServices::system();
        services.defaults = &defaults;
        services.pipelines = PipelineFactory::real(options, 0);
        services.loginItem = std::make_shared<XdgAutostartLoginItem>(root / "autostart", "/bin/true");
        services.cameraAccess = std::make_shared<DeviceNodeCameraAccess>(root / "dev");
        SenderController controller(std::move(services));
        controller.start();

        SampleWindow micros(1 << 20);
        int step = 0;
        for (auto _ : state) {
            SenderSettings next = controller.settings();
            next.bitrateKbps = 6000 + 100 * (++step % 50);
            const auto begin = std::chrono::steady_clock::now();
            controller.setSettings(next);
            const auto end = std::chrono::steady_clock::now();
            micros.add(std::chrono::duration<double, std::micro>(end - begin).count());
            state.PauseTiming();
            QCoreApplication::processEvents();
            state.ResumeTiming();
        }
        state.counters["median_us"] = micros.percentile(0.5).value_or(-1);
        state.counters["p95_us"] = micros.percentile(0.95).value_or(-1);
        controller.stop();
    }
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_SettingsWriteWithFourOutputs)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
