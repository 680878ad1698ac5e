// One adapter per kind of control: how a value or a text is written to and read from it. The
// control functions look up the adapter of a control's kind instead of switching on the kind.
#include "ui_kinds.h"
#include "ui_internal.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

namespace platform_internal {

int KindAdapter::setUnsigned(Control& c, unsigned v) const {
    return setInt(c, static_cast<int>(std::min<unsigned>(v, 0x7FFFFFFF)));
}

int KindAdapter::setReal(Control& c, double v) const {
    return std::isfinite(v) ? setInt(c, static_cast<int>(std::lround(v))) : UIE_NO_CONTROL;
}

bool KindAdapter::getReal(Control& c, double& v) const {
    int i = 0;
    if (!getInt(c, i)) {
        return false;
    }
    v = i;
    return true;
}

namespace {

// Kinds whose value is their text: a number is written as its digits.
struct TextValued : KindAdapter {
    int setInt(Control& c, int v) const override { return SetText(c, QString::number(v)); }
    int setUnsigned(Control& c, unsigned v) const override {
        return SetText(c, QString::number(v));
    }
    int setReal(Control& c, double v) const override {
        return SetText(c, QString::number(v, 'g', 12));
    }
};

struct TextAdapter final : TextValued {
    int setText(Control& c, const QString& text) const override {
        auto* line = static_cast<QLineEdit*>(c.widget.data());
        const bool repeated = line->text() == text;
        line->setText(text);
        if (line->isReadOnly()) {
            // A message line: its description is the message, so a screen reader hears each one.
            DescribeState(c, text);
            AnnounceText(c, text, repeated);
        }
        return 0;
    }
    bool getText(const Control& c, QString& text) const override {
        text = static_cast<QLineEdit*>(c.widget.data())->text();
        return true;
    }
};

struct TextBoxAdapter final : TextValued {
    int setText(Control& c, const QString& text) const override {
        static_cast<QPlainTextEdit*>(c.widget.data())->setPlainText(text);
        return 0;
    }
    bool getText(const Control& c, QString& text) const override {
        text = static_cast<QPlainTextEdit*>(c.widget.data())->toPlainText();
        return true;
    }
};

struct LabelAdapter final : TextValued {
    int setText(Control& c, const QString& text) const override {
        static_cast<QLabel*>(c.widget.data())->setText(text);
        return 0;
    }
    bool getText(const Control& c, QString& text) const override {
        text = static_cast<QLabel*>(c.widget.data())->text();
        return true;
    }
};

// A group's title is its text; it holds no value.
struct GroupAdapter final : KindAdapter {
    int setText(Control& c, const QString& text) const override {
        static_cast<QGroupBox*>(c.widget.data())->setTitle(text);
        return 0;
    }
    bool getText(const Control& c, QString& text) const override {
        text = static_cast<QGroupBox*>(c.widget.data())->title();
        return true;
    }
};

struct ButtonAdapter : KindAdapter {
    int setText(Control& c, const QString& text) const override {
        static_cast<QAbstractButton*>(c.widget.data())->setText(text);
        c.widget->setAccessibleName(QString(text).remove('&'));
        return 0;
    }
};

// Toggles and radio buttons: a button with a checked state as its value.
struct SwitchAdapter final : ButtonAdapter {
    int setInt(Control& c, int v) const override {
        // Only the operator's changes are events; the program's own writes stay quiet.
        QSignalBlocker quiet(c.widget.data());
        static_cast<QAbstractButton*>(c.widget.data())->setChecked(v != 0);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        v = static_cast<QAbstractButton*>(c.widget.data())->isChecked() ? 1 : 0;
        return true;
    }
};

// A ring's value is its item's data, or the item's index where items carry none.
struct RingAdapter final : KindAdapter {
    int setInt(Control& c, int v) const override {
        auto* r = static_cast<QComboBox*>(c.widget.data());
        int idx = r->findData(v);
        if (idx < 0 && v >= 0 && v < r->count() && !r->itemData(0).isValid()) {
            idx = v;
        }
        if (idx < 0) {
            return UIE_NO_CONTROL;
        }
        r->setCurrentIndex(idx);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        auto* r = static_cast<QComboBox*>(c.widget.data());
        const QVariant d = r->currentData();
        v = d.isValid() ? d.toInt() : r->currentIndex();
        return true;
    }
};

struct NumericAdapter final : KindAdapter {
    int setInt(Control& c, int v) const override {
        if (DeferToPaint(c, v)) {
            return 0;
        }
        c.valueDue = false;
        static_cast<QSpinBox*>(c.widget.data())->setValue(v);
        RememberFieldValue(c);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        ShowDueValue(c);
        v = static_cast<QSpinBox*>(c.widget.data())->value();
        return true;
    }
};

struct RealAdapter final : KindAdapter {
    int setInt(Control& c, int v) const override { return setReal(c, v); }
    int setUnsigned(Control& c, unsigned v) const override { return setReal(c, v); }
    int setReal(Control& c, double v) const override {
        static_cast<QDoubleSpinBox*>(c.widget.data())->setValue(v);
        RememberFieldValue(c);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        v = static_cast<int>(static_cast<QDoubleSpinBox*>(c.widget.data())->value());
        return true;
    }
    bool getReal(Control& c, double& v) const override {
        v = static_cast<QDoubleSpinBox*>(c.widget.data())->value();
        return true;
    }
};

struct LedAdapter final : KindAdapter {
    int setInt(Control& c, int v) const override {
        SetLed(c, v != 0);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        v = c.ledOn ? 1 : 0;
        return true;
    }
};

struct ProgressAdapter final : KindAdapter {
    int setInt(Control& c, int v) const override {
        static_cast<QProgressBar*>(c.widget.data())->setValue(v);
        return 0;
    }
    bool getInt(Control& c, int& v) const override {
        v = static_cast<QProgressBar*>(c.widget.data())->value();
        return true;
    }
};

} // namespace

const KindAdapter& AdapterOf(Kind kind) {
    static const KindAdapter none;
    static const ButtonAdapter button;
    static const SwitchAdapter toggle;
    static const RingAdapter ring;
    static const NumericAdapter numeric;
    static const RealAdapter real;
    static const TextAdapter text;
    static const TextBoxAdapter textBox;
    static const LabelAdapter label;
    static const GroupAdapter group;
    static const LedAdapter led;
    static const ProgressAdapter progress;
    switch (kind) {
    case Kind::Button:
        return button;
    case Kind::Toggle:
    case Kind::Radio:
        return toggle;
    case Kind::Ring:
        return ring;
    case Kind::Numeric:
        return numeric;
    case Kind::Real:
        return real;
    case Kind::Text:
        return text;
    case Kind::TextBox:
        return textBox;
    case Kind::Label:
        return label;
    case Kind::Group:
        return group;
    case Kind::Led:
        return led;
    case Kind::Progress:
        return progress;
    default:
        return none; // pictures, charts, decorations, timers: neither value nor text
    }
}

} // namespace platform_internal
