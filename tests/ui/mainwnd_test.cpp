// The main window and the program's life: menu by keyboard, ending, background.
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/ui/ui_support.h"
#include "ui/ui.h"

using namespace uitest;

TEST(MainWindow, TitleClassAndMenu) {
    Schedule({
        WaitUntil([] { return MainWindow() != nullptr; }),
        Do([] {
            auto *frame = qobject_cast<QMainWindow *>(qtwin::testing::WidgetFor(MainWindow()));
            ASSERT_NE(frame, nullptr);
            EXPECT_EQ(frame->windowTitle(), "Interface - Diagnose");
            EXPECT_EQ(qtwin::testing::ClassNameOf(MainWindow()), "IFdiag");
            EXPECT_TRUE(frame->isVisible());
            EXPECT_FALSE(frame->windowIcon().isNull());
            auto menus = frame->menuBar()->actions();
            ASSERT_EQ(menus.size(), 1);
            EXPECT_EQ(menus[0]->text(), "&Programm");
            auto items = menus[0]->menu()->actions();
            ASSERT_EQ(items.size(), 2);
            EXPECT_EQ(items[0]->text(), "&Start");
            EXPECT_EQ(items[1]->text(), "&Beenden");
        }),
        Quit(),
    });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

TEST(MainWindow, AltPThenBEndsWithCodeZero) {
    Schedule(std::vector<Step>{WaitUntil([] { return MainWindow() != nullptr; })} +
             ChooseMenu('B'));
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

TEST(MainWindow, CloseBoxEndsWithCodeZero) {
    Schedule({
        WaitUntil([] { return MainWindow() != nullptr; }),
        Do([] { qtwin::testing::WidgetFor(MainWindow())->close(); }),
    });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

TEST(MainWindow, StartTwiceOpensAFreshDialogWithAFreshConnection) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    auto first = std::make_shared<HWND>();
    auto requests = std::make_shared<size_t>();
    auto start = [] {
        return ChooseMenu('S') + std::vector<Step>{WaitUntil([] {
                   return Dialog() && qtwin::testing::WidgetFor(Dialog())->isVisible();
               })};
    };
    Schedule(std::vector<Step>{WaitUntil([] { return MainWindow() != nullptr; })} + start() +
             std::vector<Step>{
                 Do([first] { *first = Dialog(); }),
                 WaitUntil([box] { return sim::RequestCount(box) > 3; }),
                 Do([] { Click(IDCANCEL); }),
                 WaitUntil([] { return Dialog() == nullptr; }),
                 Do([box, requests] { *requests = sim::RequestCount(box); }),
             } +
             start() +
             std::vector<Step>{
                 Do([first] { EXPECT_NE(Dialog(), *first); }),
                 // The fresh connection is polled again.
                 WaitUntil([box, requests] { return sim::RequestCount(box) > *requests + 3; }),
                 Do([] { Click(IDCANCEL); }),
                 WaitUntil([] { return Dialog() == nullptr; }),
             } +
             ChooseMenu('B'));
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

TEST(MainWindow, ClientAreaIsDarkGreyAfterAResize) {
    auto checkGrey = [] {
        QImage img = qtwin::testing::Grab(MainWindow()).convertToFormat(QImage::Format_RGB32);
        ASSERT_FALSE(img.isNull());
        int wrong = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                wrong += img.pixel(x, y) != qRgb(0x40, 0x40, 0x40);
        EXPECT_EQ(wrong, 0) << img.width() << "x" << img.height();
    };
    Schedule({
        WaitUntil([] { return MainWindow() != nullptr; }),
        Do([] { qtwin::testing::WidgetFor(MainWindow())->resize(700, 520); }),
        Pause(100),
        Do([checkGrey] {
            QWidget *client = qtwin::testing::ClientAreaFor(MainWindow());
            EXPECT_GT(client->width(), 600);
            checkGrey();
            SaveScreenshot(qtwin::testing::WidgetFor(MainWindow())->grab().toImage(),
                           "main-window.png");
        }),
        Do([] { qtwin::testing::WidgetFor(MainWindow())->resize(300, 200); }),
        Pause(100),
        Do(checkGrey),
        Quit(),
    });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}
