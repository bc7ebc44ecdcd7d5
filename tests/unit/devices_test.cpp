// The device, sound and haptic services, the application, bundles, images
// and colours.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/devices.h"
#include "platform/audiotoolbox.h"
#include "platform/uikit.h"

#include <fstream>

using namespace platform;
using hostsim::Strong;

namespace {

class DevicesTest : public PlatformTest {};

TEST_F(DevicesTest, DeviceReportsModelAndFeedbackLevel) {
  id device = UIDevice::currentDevice();
  EXPECT_EQ(device, UIDevice::currentDevice());
  EXPECT_TRUE(NSString::isEqualToString(UIDevice::model(device), NSSTR("iPhone")));
  EXPECT_EQ(NSNumber::intValue(NSObject::valueForKey(device, NSSTR("_feedbackSupportLevel"))), 2);
  hostsim::setDeviceModel("iPad");
  hostsim::setFeedbackSupportLevel(std::nullopt);
  EXPECT_FALSE(NSString::isEqualToString(UIDevice::model(device), NSSTR("iPhone")));
  id level = NSObject::valueForKey(device, NSSTR("_feedbackSupportLevel"));
  EXPECT_EQ(level, nullptr);
  EXPECT_EQ(NSNumber::intValue(level), 0) << "nil reads as 0";
}

TEST_F(DevicesTest, SoundsAndHapticsAreRecordedWithTheirTime) {
  wait(1.5);
  id generator = UINotificationFeedbackGenerator::new_();
  UINotificationFeedbackGenerator::prepare(generator);
  UINotificationFeedbackGenerator::notificationOccurred(generator,
                                                        UINotificationFeedbackTypeSuccess);
  NSObject::release(generator);
  id unprepared = UINotificationFeedbackGenerator::new_();
  UINotificationFeedbackGenerator::notificationOccurred(unprepared, 2);
  NSObject::release(unprepared);
  AudioServicesPlaySystemSound(1102);
  AudioServicesPlayAlertSound(1100);
  EXPECT_EQ(hostsim::feedbackLog().dump(),
            R"([{"id":0,"kind":"haptic","prepared":true,"t":1.5},)"
            R"({"id":2,"kind":"haptic","prepared":false,"t":1.5},)"
            R"({"id":1102,"kind":"system","t":1.5},{"id":1100,"kind":"alert","t":1.5}])");
  EXPECT_EQ(hostsim::liveInstances(objc_getClass("UINotificationFeedbackGenerator")), 0u);
}

TEST_F(DevicesTest, FrontmostApplicationIsSettable) {
  id app = UIApplication::sharedApplication();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(UIApplication::_accessibilityFrontMostApplication(app), nullptr);
  Strong front = Strong::adopt(
      hostsim::send<id>(hostsim::send<id>(as_id(objc_getClass("NSObject")), "alloc"), "init"));
  hostsim::setFrontmostApplication(front.get());
  EXPECT_EQ(UIApplication::_accessibilityFrontMostApplication(app), front.get());
}

TEST_F(DevicesTest, ImagesAreFoundInTheirBundle) {
  id bundle = NSBundle::bundleForClass(objc_getClass("NSObject"));
  std::string folder = hostsim::bundlePath(bundle);
  EXPECT_EQ(
      UIImage::imageNamed_inBundle_compatibleWithTraitCollection(NSSTR("Icon"), bundle, nullptr),
      nullptr);
  std::filesystem::create_directories(root_ / folder.substr(1));
  std::ofstream(root_ / folder.substr(1) / "Icon@2x.png") << "png";
  id image =
      UIImage::imageNamed_inBundle_compatibleWithTraitCollection(NSSTR("Icon"), bundle, nullptr);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(hostsim::imageName(image), "Icon");
  EXPECT_EQ(hostsim::imageBundlePath(image), folder);
  EXPECT_EQ(
      UIImage::imageNamed_inBundle_compatibleWithTraitCollection(NSSTR("../Icon"), bundle, nullptr),
      nullptr);
}

TEST_F(DevicesTest, ColoursKeepTheirComponents) {
  id color = UIColor::colorWithRed_green_blue_alpha(0.01, 0.53, 0.53, 1.0);
  EXPECT_EQ(hostsim::colorComponents(color), (std::array<double, 4>{0.01, 0.53, 0.53, 1.0}));
}

} // namespace
