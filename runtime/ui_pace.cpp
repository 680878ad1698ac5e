// Window repaints paced to the display. While the scope streams, every sample changes the chart,
// the raw-value fields and now and then the link figures; left alone, each change would end in a
// repaint and a flush to the X server of its own, 30 to 60 a second. Here a window that painted
// less than a frame ago waits for the rest of the frame, and then paints everything that changed
// meanwhile at once. Input is never kept waiting: the first repaint after a key, a click or a
// mouse move goes out at once, so typing and the chart's cursor answer as before.
#include "ui_internal.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <unordered_map>

namespace platform_internal {
namespace {

class DisplayPacer final : public QObject {
  public:
    explicit DisplayPacer(QObject* parent) : QObject(parent) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::Resize:
        case QEvent::Show:
            inputSeen_ = true;
            return false;
        case QEvent::UpdateRequest:
            return watched->isWidgetType() && holdBack(static_cast<QWidget*>(watched));
        default:
            return false;
        }
    }

  private:
    struct Window {
        QElapsedTimer sincePaint;
        QPointer<QTimer> due;
    };

    // True when the repaint is to wait for the frame's end; a timer then asks for it again.
    bool holdBack(QWidget* w) {
        if (!w->isWindow()) {
            return false;
        }
        Window& state = windows_[w];
        if (state.due && state.due->isActive()) {
            return true; // already coming, with everything asked for until then
        }
        const qint64 since =
            state.sincePaint.isValid() ? state.sincePaint.elapsed() : kDisplayFrameMs;
        if (since >= kDisplayFrameMs || inputSeen_ || replaying_) {
            inputSeen_ = false;
            state.sincePaint.start();
            ShowDueValuesWithFrame(); // painted with the rest of the frame
            return false;
        }
        if (!state.due) {
            state.due = new QTimer(w); // goes with its window
            state.due->setSingleShot(true);
            state.due->setTimerType(Qt::PreciseTimer);
            QPointer<QWidget> target(w);
            connect(state.due, &QTimer::timeout, this, [this, target] {
                if (target) {
                    replaying_ = true;
                    QEvent request(QEvent::UpdateRequest);
                    QCoreApplication::sendEvent(target, &request);
                    replaying_ = false;
                }
            });
            connect(w, &QObject::destroyed, this, [this, w] { windows_.erase(w); });
        }
        state.due->start(static_cast<int>(kDisplayFrameMs - since));
        return true;
    }

    std::unordered_map<QWidget*, Window> windows_;
    bool inputSeen_ = false;
    bool replaying_ = false;
};

} // namespace

void InstallDisplayPacer(QApplication* app) {
    app->installEventFilter(new DisplayPacer(app));
}

} // namespace platform_internal
