// MessageBoxA on Qt 6 Widgets, from any thread: the box is put up on the GUI thread; a
// caller on another thread waits until it is dismissed or its owner has gone.
#include <QCoreApplication>
#include <QMessageBox>
#include <algorithm>
#include <condition_variable>
#include <memory>

#include "platform/posix/trace.h"
#include "platform/qt/window_table.h"

namespace qtwin {
namespace {

// One MessageBoxA call: what it shows and how its caller waits. No Qt object in it: the
// caller's thread may be the one that destroys it.
struct BoxCall {
    HWND owner;
    std::string text, title; // Windows-1252, converted on the GUI thread
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = 0;
};
using BoxCallPtr = std::shared_ptr<BoxCall>;

std::vector<std::pair<BoxCallPtr, QPointer<QMessageBox>>> boxes; // on screen, oldest first
std::deque<BoxCallPtr> requests; // under postMutex: asked for by other threads

void Finish(BoxCall &call, int result) {
    std::lock_guard<std::mutex> lock(call.mutex);
    if (call.done)
        return;
    // Traced here, on the GUI thread, before a signal's exit can stop the trace.
    Trace("msg", "%s", result == IDOK ? "dismissed" : "closed with its owner");
    call.done = true;
    call.result = result;
    call.cv.notify_all();
}

void EndBox(BoxCallPtr call, int result) { // by value: the entry holding it goes
    auto it = std::find_if(boxes.begin(), boxes.end(), [&](auto &b) { return b.first == call; });
    if (it != boxes.end() && it->second) {
        it->second->disconnect();
        it->second->hide();
        it->second->deleteLater();
    }
    if (it != boxes.end())
        boxes.erase(it);
    Finish(*call, result);
}

QMessageBox *ShowBox(const BoxCallPtr &call) {
    Window *w = call->owner ? Lookup(call->owner) : nullptr;
    if (call->owner && (!w || w->ended)) { // the owner has gone: Win32 fails the call
        Finish(*call, 0);
        return nullptr;
    }
    QWidget *parent = w ? w->widget->window() : nullptr;
    auto *box = new QMessageBox(QMessageBox::NoIcon, FromAnsi(call->title), FromAnsi(call->text),
                                QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    boxes.push_back({call, box});
    QObject::connect(box, &QMessageBox::finished, [call] { EndBox(call, IDOK); });
    box->show();
    box->activateWindow();
    return box;
}

} // namespace

void CloseBoxesOf(HWND owner) {
    for (auto &b : decltype(boxes)(boxes))
        if (b.first->owner == owner)
            EndBox(b.first, 0);
}

void ShowRequestedBoxes() {
    for (BoxCallPtr call; TakeFirst(requests, &call);)
        ShowBox(call);
}

void EndAllBoxes() {
    for (BoxCallPtr call; TakeFirst(requests, &call);)
        Finish(*call, 0);
    while (!boxes.empty())
        EndBox(boxes.front().first, 0);
}

} // namespace qtwin

using namespace qtwin;

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT) {
    if (!QCoreApplication::instance())
        return 0;
    auto call = std::make_shared<BoxCall>();
    call->owner = owner;
    call->text = text ? text : "";
    call->title = caption ? caption : "Error";
    if (Tracing()) // why the cycle stops, in the --trace of the port calls
        Trace("msg", "\"%s\" shown", QString::fromLatin1(call->text.c_str()).toUtf8().constData());
    if (OnGuiThread()) {
        QPointer<QMessageBox> box = ShowBox(call);
        ++modalDepth;
        if (box && !call->done) // until dismissed or closed with its owner
            box->exec();
        --modalDepth;
    } else {
        {
            std::lock_guard<std::mutex> lock(postMutex);
            requests.push_back(call);
        }
        WakeGuiThread();
        std::unique_lock<std::mutex> lock(call->mutex);
        call->cv.wait(lock, [&] { return call->done; });
    }
    std::lock_guard<std::mutex> lock(call->mutex);
    return call->result;
}
