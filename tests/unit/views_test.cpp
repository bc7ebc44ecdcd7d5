// Views and their alpha animation, view controllers, tap recognizers.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/trace.h"
#include "host/sim/services/views.h"
#include "platform/uikit.h"

#include <vector>

using namespace platform;
using hostsim::Strong;
using hostsim::Weak;

namespace {

struct AnimationArgs {
  id view;
  double alpha;
};
void setAlphaIn(void* context) {
  auto* a = static_cast<AnimationArgs*>(context);
  UIView::setAlpha(a->view, a->alpha);
}
int gCompletions = 0;
void countCompletion(void*, BOOL finished) {
  gCompletions += finished ? 1 : 0;
}

class ViewsTest : public PlatformTest {
protected:
  Strong make(const char* cls) {
    return Strong::adopt(
        hostsim::send<id>(hostsim::send<id>(as_id(objc_getClass(cls)), "alloc"), "init"));
  }
  void animate(id view, double alpha, double duration = 0.7, double delay = 0) {
    AnimationArgs args{view, alpha};
    UIView::animateWithDuration_delay_options_animations_completion(
        duration, delay, UIViewAnimationOptionAllowUserInteraction, setAlphaIn, &args,
        countCompletion);
  }
};

TEST_F(ViewsTest, AnimationSetsTheModelAtOnceAndTheScreenOverTime) {
  Strong view = make("UIView");
  gCompletions = 0;
  animate(view.get(), 0);
  EXPECT_EQ(UIView::alpha(view.get()), 0.0) << "the model takes the target at once";
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 1.0);
  wait(0.35);
  double middle = hostsim::visibleAlpha(view.get());
  EXPECT_GT(middle, 0.0);
  EXPECT_LT(middle, 1.0);
  wait(0.35);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 0.0);
  EXPECT_EQ(gCompletions, 1);
}

TEST_F(ViewsTest, NewerAnimationStartsFromTheVisibleValue) {
  Strong view = make("UIView");
  animate(view.get(), 0);
  wait(0.35);
  double reached = hostsim::visibleAlpha(view.get());
  animate(view.get(), 1);
  EXPECT_EQ(UIView::alpha(view.get()), 1.0);
  EXPECT_DOUBLE_EQ(hostsim::visibleAlpha(view.get()), reached) << "no jump";
  wait(0.7);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 1.0);
}

TEST_F(ViewsTest, DirectSetAlphaCancelsTheAnimation) {
  Strong view = make("UIView");
  animate(view.get(), 0);
  wait(0.2);
  UIView::setAlpha(view.get(), 0.5);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 0.5);
  wait(1);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 0.5);
}

TEST_F(ViewsTest, DelayedAnimationWaitsBeforeChanging) {
  Strong view = make("UIView");
  animate(view.get(), 0, 0.5, 1.0);
  wait(0.9);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 1.0);
  wait(0.6);
  EXPECT_EQ(hostsim::visibleAlpha(view.get()), 0.0);
}

TEST_F(ViewsTest, NamedViewsTraceEveryAlphaChange) {
  Strong view = make("UIView");
  hostsim::setViewTraceName(view.get(), "list");
  std::vector<std::string> seen;
  hostsim::trace::setSink([&](const hostsim::trace::Event& e) { seen.push_back(e.dump()); });
  animate(view.get(), 0);
  UIView::setAlpha(view.get(), 0);
  hostsim::trace::setSink(nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      R"({"t":0.0,"event":"alpha","view":"list","value":0.0,"duration":0.7})",
                      R"({"t":0.0,"event":"alpha","view":"list","value":0.0,"duration":0.0})"}));
}

TEST_F(ViewsTest, HiddenStateAndControllerViewLoadsOnce) {
  Strong controller = make("UIViewController");
  id view = UIViewController::view(controller.get());
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(UIViewController::view(controller.get()), view);
  EXPECT_FALSE(UIView::isHidden(view));
  UIView::setHidden(view, YES);
  EXPECT_TRUE(UIView::isHidden(view));
}

int gTaps = 0;
id gLastRecognizer = nullptr;
void onTaps(id, SEL, id recognizer) {
  ++gTaps;
  gLastRecognizer = recognizer;
}

TEST_F(ViewsTest, TapRecognizersCallTheirActionWithThemselves) {
  Class cls = hostsim::defineClass("Tappable", objc_getClass("UIView"));
  hostsim::addMethod(cls, "handleTaps:", onTaps);
  Strong view = make("Tappable");
  Strong two =
      Strong::adopt(UITapGestureRecognizer::initWithTarget_action(view.get(), sel("handleTaps:")));
  UITapGestureRecognizer::setNumberOfTapsRequired(two.get(), 2);
  UIView::addGestureRecognizer(view.get(), two.get());
  gTaps = 0;
  hostsim::recognizeTaps(view.get(), 1);
  EXPECT_EQ(gTaps, 0);
  hostsim::recognizeTaps(view.get(), 2);
  EXPECT_EQ(gTaps, 1);
  EXPECT_EQ(gLastRecognizer, two.get());

  // The platform's count is unsigned: -1 is the largest count.
  UITapGestureRecognizer::setNumberOfTapsRequired(two.get(), static_cast<NSUInteger>(-1L));
  EXPECT_EQ(UITapGestureRecognizer::numberOfTapsRequired(two.get()), UINT64_MAX);
}

TEST_F(ViewsTest, ARecognizerIsFreedOnlyWhenTheViewAndItsOwnerLetGo) {
  Strong view = make("UIView");
  Weak weak;
  {
    Strong r = Strong::adopt(UITapGestureRecognizer::initWithTarget_action(view.get(), sel("x")));
    weak = Weak(r.get());
    UIView::addGestureRecognizer(view.get(), r.get());
    UIView::addGestureRecognizer(view.get(), r.get()); // once only
    EXPECT_EQ(hostsim::gestureRecognizersOf(view.get()).size(), 1u);
    EXPECT_EQ(hostsim::send<id>(r.get(), "view"), view.get());
  }
  EXPECT_TRUE(weak.lock()) << "the view holds it";
  {
    Strong r = weak.lock();
    UIView::removeGestureRecognizer(view.get(), r.get());
    EXPECT_TRUE(hostsim::gestureRecognizersOf(view.get()).empty());
    EXPECT_EQ(hostsim::send<id>(r.get(), "view"), nullptr);
  }
  EXPECT_FALSE(weak.lock());
}

} // namespace
