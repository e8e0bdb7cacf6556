#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <set>
#include <string>

#include "app/advsm.h"
#include "app/indicators.h"

namespace {

// The frame of every indicator, '#' in the indicator's colour.
const char* const kFrame[16] = {
    "................",  // 0
    "................",  // 1
    "................",  // 2
    "################",  // 3
    "################",  // 4
    "##............##",  // 5
    "##............##",  // 6
    "##............##",  // 7
    "##............##",  // 8
    "##............##",  // 9
    "##............##",  // 10
    "##............##",  // 11
    "##............##",  // 12
    "################",  // 13
    "################",  // 14
    "................",  // 15
};

std::string Picture(const QImage& image, QRgb colour) {
  std::string rows;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      rows += p == colour ? '#' : p == qRgb(255, 255, 255) ? '.' : '?';
    }
    rows += '\n';
  }
  return rows;
}

std::string Expected(const std::set<int>& columns) {
  std::string rows;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) rows += (kFrame[y][x] == '#' || (columns.count(x) && y >= 5 && y <= 11)) ? '#' : '.';
    rows += '\n';
  }
  return rows;
}

TEST(Indicator, BarColumnsByPhase) {
  struct Case {
    int phase;
    std::set<int> columns;  // as seen: column 16 is outside the picture
  };
  const Case cases[] = {
      {0, {0, 1, 2, 3, 4}},
      {12, {12, 13, 14, 15}},
      {13, {13, 14, 15, 1}},
      {16, {1, 2, 3, 4}},
  };
  for (bool live : {false, true}) {
    const QRgb colour = live ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
    for (const Case& c : cases) {
      const QImage image = app::IndicatorImage(live, c.phase);
      ASSERT_EQ(image.size(), QSize(16, 16));
      EXPECT_EQ(Picture(image, colour), Expected(c.columns)) << "phase " << c.phase << (live ? " live" : " dead");
    }
  }
}

TEST(Indicator, RedrawReplacesEverything) {
  QImage image;  // a control's picture that has no size yet
  app::DrawIndicator(image, true, 7);
  app::DrawIndicator(image, false, 0);
  ASSERT_EQ(image.size(), QSize(16, 16));
  EXPECT_EQ(Picture(image, qRgb(255, 0, 0)), Expected({0, 1, 2, 3, 4}));
}

// A column past 16 comes back once, 16 to the left; whatever still lies
// outside the picture is not drawn, and nothing wraps a second time.
TEST(Indicator, OutOfRangePhases) {
  struct Case {
    int phase;
    std::set<int> columns;
  };
  const Case cases[] = {
      {-100, {}},
      {-2, {0, 1, 2}},
      {17, {1, 2, 3, 4, 5}},
      {30, {14, 15}},
      {40, {}},
      {2147483647, {}},
  };
  QImage image = app::IndicatorImage(true, 5);
  for (const Case& c : cases) {
    app::DrawIndicator(image, false, c.phase);
    EXPECT_EQ(Picture(image, qRgb(255, 0, 0)), Expected(c.columns)) << "phase " << c.phase;
  }
}

TEST(Notice, GeometryFollowsTheText) {
  struct Case {
    const char* text;
    int width;
    int buttonLeft;
  };
  const Case cases[] = {
      {"Не правильный пароль.", 210, 69},
      {"Неправильный пароль. В доступе отказано", 390, 159},
      {"Нет", 30, -21},  // narrower than the button: the left edge goes negative, cut towards zero
      {"<b>1234</b>", 110, 19},  // markup characters count like any others
  };
  Tadvsm popup;
  for (const Case& c : cases) {
    popup.FitToText(QString::fromUtf8(c.text));
    EXPECT_EQ(popup.label1->text(), QString::fromUtf8(c.text));
    EXPECT_EQ(popup.frameGeometry().width(), c.width) << c.text;
    EXPECT_EQ(popup.label1->x(), 2);
    EXPECT_EQ(popup.label1->width(), c.width);
    EXPECT_EQ(popup.BitBtn1->x(), c.buttonLeft) << c.text;
    EXPECT_GT(popup.BitBtn1->y(), popup.label1->geometry().bottom()) << "the button sits under the text";
  }
}

// The texts come from the operator's typing: markup must show as typed.
TEST(Notice, MarkupIsNeverRendered) {
  Tadvsm popup;
  // A caption of its own and the other windows' font, not a serif of its own.
  EXPECT_EQ(popup.windowTitle(), "Zuzuriz Avizuvure vavid");
  EXPECT_EQ(popup.label1->font(), QApplication::font());
  popup.FitToText("<b>1234</b>");
  EXPECT_EQ(popup.label1->textFormat(), Qt::PlainText);
  EXPECT_EQ(popup.label1->text(), "<b>1234</b>");
}

TEST(Notice, ShowTextReturnsWhenOkIsPressed) {
  Tadvsm popup;
  QTimer::singleShot(0, popup.BitBtn1, &QPushButton::click);
  QTimer::singleShot(10000, &popup, &QDialog::reject);  // a failure, not a hang, if OK does nothing
  popup.ShowText(QString::fromUtf8("Не правильный пароль."));
  EXPECT_EQ(popup.result(), QDialog::Accepted);
  EXPECT_FALSE(popup.isVisible());
  EXPECT_EQ(popup.frameGeometry().width(), 210);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
