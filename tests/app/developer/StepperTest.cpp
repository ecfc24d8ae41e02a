#include <QSignalSpy>

#include <gtest/gtest.h>

#include "PanelScene.h"

namespace kelvora::testing {
namespace {

// Presses on the bitrate stepper's range (4000 to 40000 in steps of 2000); the caller stores each value the
// stepper asks for, as the settings proxy does.
TEST(Stepper, AsksOnlyForValuesInsideItsRangeOncePerPress) {
    const struct {
        int stored;
        const char* button;
        int presses;
        QList<int> written;
    } cases[] = {
        {41000, "stepperUp", 1, {}},  // a stored value above the range is left alone by "+"
        {41000, "stepperDown", 1, {39000}}, {40000, "stepperUp", 1, {}},
        {39000, "stepperUp", 2, {40000}},  // never past the top
        {20500, "stepperUp", 1, {22500}},   {4000, "stepperDown", 1, {}},
        {5000, "stepperDown", 2, {4000}},  // never below the bottom
        {1000, "stepperDown", 1, {}},       {1000, "stepperUp", 1, {4000}},
    };
    for (const auto& c : cases) {
        PanelScene scene;
        QQuickItem* stepper = scene.load("Stepper.qml",
                                         {{"from", 4000},
                                          {"to", 40000},
                                          {"stepSize", 2000},
                                          {"value", c.stored},
                                          {"text", "Höchstbitrate"}},
                                         {240, 40});
        ASSERT_NE(stepper, nullptr);
        QList<int> written;
        QSignalSpy spy(stepper, SIGNAL(stepped(int)));
        for (int i = 0; i < c.presses; ++i) {
            const int before = spy.count();
            scene.click(scene.child(c.button));
            if (spy.count() > before) {
                const int value = spy.last().at(0).toInt();
                written.append(value);
                stepper->setProperty("value", value);
            }
        }
        EXPECT_EQ(written, c.written) << c.stored << " " << c.button;
    }
}

}  // namespace
}  // namespace kelvora::testing
