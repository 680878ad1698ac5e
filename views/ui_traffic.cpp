// The traffic window: lines handed over by the program (one per frame), a filter by kind, Pause,
// Copy and Save as text. The program formats the lines; this window only holds and shows them.
#include "runtime/ui_internal.h"
#include "store/textfile.h"

#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>
#include <deque>

namespace platform_internal {
namespace {

class TrafficWindow;
QPointer<TrafficWindow> g_window;

class TrafficWindow : public QWidget {
  public:
    TrafficWindow(QWidget* parent, std::size_t capacity, TrafficViewCall onPoll,
                  TrafficViewCall onClosed)
        : QWidget(parent, Qt::Window), capacity_(std::max<std::size_t>(1, capacity)), poll_(onPoll),
          closed_(onClosed) {
        setObjectName("trafficWindow");
        setAttribute(Qt::WA_DeleteOnClose);

        auto* filterLabel = new QLabel("&Order", this);
        filter_ = new QComboBox(this);
        filter_->setObjectName("trafficFilter");
        filter_->setAccessibleName("Order");
        filter_->setToolTip("Show the frames of one order only (its commands and their replies), "
                            "or all of them");
        filterLabel->setBuddy(filter_);
        pause_ = new QCheckBox("&Pause", this);
        pause_->setObjectName("trafficPause");
        pause_->setAccessibleName("Pause");
        pause_->setToolTip("Hold the view still; the frames go on being recorded");
        auto* copy = new QPushButton("&Copy", this);
        copy->setObjectName("trafficCopy");
        copy->setAccessibleName("Copy");
        copy->setToolTip("Copy the selected lines, or all lines shown, to the clipboard");
        auto* save = new QPushButton("&Save as text...", this);
        save->setObjectName("trafficSave");
        save->setAccessibleName("Save as text");
        save->setToolTip("Write the lines shown to a text file");

        view_ = new QPlainTextEdit(this);
        view_->setObjectName("trafficLines");
        view_->setAccessibleName("Frames");
        view_->setToolTip("Time since start in seconds, TX (sent) or RX (received), the bytes "
                          "in hex, what they mean and the response time");
        view_->setReadOnly(true);
        view_->setLineWrapMode(QPlainTextEdit::NoWrap);
        view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        view_->setMaximumBlockCount(static_cast<int>(capacity_));
        view_->setUndoRedoEnabled(false);
        note_ = new QLabel(this);
        note_->setObjectName("trafficNote");
        // Wide enough for a whole frame and its meaning, as far as the screen allows.
        QFontMetrics fm(view_->font());
        QSize want(fm.horizontalAdvance('0') * 170, fm.lineSpacing() * 30);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            want = want.boundedTo(screen->availableSize() * 0.9);
        }
        resize(want);

        auto* tools = new QHBoxLayout;
        tools->addWidget(filterLabel);
        tools->addWidget(filter_);
        tools->addWidget(pause_);
        tools->addWidget(copy);
        tools->addWidget(save);
        tools->addStretch(1);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(tools);
        layout->addWidget(view_, 1);
        layout->addWidget(note_);

        QObject::connect(filter_, &QComboBox::currentIndexChanged, this,
                         [this] { rebuild(pause_->isChecked() ? shown_ : total_); });
        QObject::connect(pause_, &QCheckBox::toggled, this, [this](bool on) {
            if (!on) {
                catchUp();
            }
        });
        QObject::connect(copy, &QPushButton::clicked, this, [this] { copyLines(); });
        // The file dialog runs its own event loop: not inside the button's click handler.
        QObject::connect(
            save, &QPushButton::clicked, this, [this] { saveLines(); }, Qt::QueuedConnection);
        timer_ = new QTimer(this);
        QObject::connect(timer_, &QTimer::timeout, this, [this] { poll_(); });
    }

    ~TrafficWindow() override { finish(); }

    void setKinds(const char* const* kinds, int count) {
        QSignalBlocker quiet(filter_);
        filter_->addItem("All");
        for (int i = 0; i < count; ++i) {
            filter_->addItem(QString::fromLatin1(kinds[i]));
        }
    }

    void start(double periodSec) { timer_->start(std::max(1, static_cast<int>(periodSec * 1000))); }

    void poll() { poll_(); }

    void append(const TrafficViewLine* lines, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            lines_.push_back(lines[i]);
            if (lines_.size() > capacity_) {
                lines_.pop_front();
            }
        }
        total_ += count;
        if (!pause_->isChecked()) {
            catchUp();
        }
    }

  protected:
    void closeEvent(QCloseEvent* ev) override {
        finish();
        QWidget::closeEvent(ev);
    }

  private:
    // Once, when the operator closes the window or it goes with its panel.
    void finish() {
        timer_->stop();
        if (g_window == this) {
            g_window = nullptr;
        }
        if (closed_) {
            auto closed = closed_;
            closed_ = nullptr;
            closed();
        }
    }

    bool passes(int kind) const {
        int chosen = filter_->currentIndex() - 1; // item 0 is "All"
        return chosen < 0 || kind == kTrafficNote || kind == chosen;
    }

    // The lines counted before `upTo` (of all ever appended) that pass the filter.
    QString textUpTo(std::size_t from, std::size_t upTo) const {
        const std::size_t first = total_ - lines_.size();
        QString text;
        for (std::size_t i = std::max(from, first); i < upTo; ++i) {
            const TrafficViewLine& l = lines_[i - first];
            if (passes(l.kind)) {
                text += QString::fromLatin1(l.text.c_str());
                text += '\n';
            }
        }
        text.chop(1);
        return text;
    }

    void rebuild(std::size_t upTo) {
        view_->setPlainText(textUpTo(0, upTo));
        shown_ = upTo;
        view_->moveCursor(QTextCursor::End);
        view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
    }

    // Shows what came since the view last moved.
    void catchUp() {
        if (shown_ < total_ - lines_.size()) {
            rebuild(total_); // more came than are held
            return;
        }
        QString text = textUpTo(shown_, total_);
        shown_ = total_;
        if (!text.isEmpty()) {
            view_->appendPlainText(text);
        }
    }

    // The lines a selection touches, whole, or (without one, or not asked) every line shown.
    QString linesText(bool selected, int& lineCount) const {
        QTextCursor cur = view_->textCursor();
        QTextDocument* doc = view_->document();
        QTextBlock from = doc->firstBlock(), to = doc->lastBlock();
        if (selected && cur.hasSelection()) {
            from = doc->findBlock(cur.selectionStart());
            to = doc->findBlock(cur.selectionEnd());
            if (to.position() == cur.selectionEnd() && to != from) {
                to = to.previous(); // a selection up to a line's start ends before that line
            }
        }
        QString text;
        lineCount = 0;
        for (QTextBlock b = from; b.isValid(); b = b.next()) {
            if (!b.text().isEmpty() || b != to) {
                text += b.text() + '\n';
                ++lineCount;
            }
            if (b == to) {
                break;
            }
        }
        return text;
    }

    void copyLines() {
        int count = 0;
        QString text = linesText(true, count);
        QGuiApplication::clipboard()->setText(text);
        note_->setText(QString("%1 lines copied").arg(count));
    }

    void saveLines() {
        char dir[MAX_PATHNAME_LEN] = "";
        char path[MAX_PATHNAME_LEN] = "";
        GetProjectDir(dir);
        if (FileSelectPopup(dir, "traffic.txt", "*.txt", "Save traffic as text", VAL_OK_BUTTON, 0,
                            1, 1, 1, path) <= 0) {
            return;
        }
        int count = 0;
        QString text = linesText(false, count);
        std::string error;
        if (!WriteFileAtomic(path, text.toLatin1().toStdString(), &error)) {
            note_->setText(QString::fromLocal8Bit(path) + ": cannot be written (" +
                           QString::fromLocal8Bit(error.c_str()) + ")");
            return;
        }
        note_->setText(
            QString("%1 lines saved to %2").arg(count).arg(QString::fromLocal8Bit(path)));
    }

    std::size_t capacity_;
    TrafficViewCall poll_;
    TrafficViewCall closed_;
    std::deque<TrafficViewLine> lines_;
    std::size_t total_ = 0; // lines ever appended
    std::size_t shown_ = 0; // of those, how many the view has taken (fewer while paused)
    QComboBox* filter_;
    QCheckBox* pause_;
    QPlainTextEdit* view_;
    QLabel* note_;
    QTimer* timer_;
};

} // namespace

QWidget* TrafficWindowWidget() {
    return g_window;
}

void PollTrafficWindow() {
    if (g_window) {
        g_window->poll();
    }
}

} // namespace platform_internal

using namespace platform_internal;

int OpenTrafficView(int panel, const char* title, const char* const* kinds, int kindCount,
                    std::size_t capacity, double periodSec, TrafficViewCall poll,
                    TrafficViewCall closed) {
    if (g_window) {
        g_window->show();
        g_window->raise();
        g_window->activateWindow();
        return 0;
    }
    Panel* p = FindPanel(panel);
    if (!p || !poll) {
        return UIE_BAD_HANDLE;
    }
    auto* w = new TrafficWindow(p->widget->window(), capacity, poll, closed);
    w->setWindowTitle(QString::fromLatin1(title ? title : ""));
    w->setKinds(kinds, kindCount);
    g_window = w;
    w->show();
    w->start(periodSec);
    return 0;
}

void AppendTrafficViewLines(const TrafficViewLine* lines, std::size_t count) {
    if (g_window && lines) {
        g_window->append(lines, count);
    }
}

int TrafficViewIsOpen() {
    return g_window ? 1 : 0;
}

void CloseTrafficView() {
    if (g_window) {
        g_window->close();
    }
}
