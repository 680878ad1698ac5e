// How each kind of control takes and gives its value and its text (ui_kinds.cpp).
#pragma once

#include "ui_internal.h"

#include <QString>

namespace platform_internal {

// A kind's answers; what a kind does not hold is refused (UIE_NO_CONTROL, or false).
struct KindAdapter {
    virtual ~KindAdapter() = default;
    virtual int setText(Control&, const QString&) const { return UIE_NO_CONTROL; }
    virtual bool getText(const Control&, QString&) const { return false; }
    virtual int setInt(Control&, int) const { return UIE_NO_CONTROL; }
    virtual bool getInt(Control&, int&) const { return false; }
    // Past the int range a number is clamped; a text shows it whole.
    virtual int setUnsigned(Control& c, unsigned v) const;
    // Rounded to an int where the kind holds ints; not a number is refused.
    virtual int setReal(Control& c, double v) const;
    virtual bool getReal(Control& c, double& v) const;
};
const KindAdapter& AdapterOf(Kind kind);

// A display field's value held back for its window's next paint; false when the field is not
// on screen and so takes it now (ui_controls.cpp).
bool DeferToPaint(Control& c, int value);

} // namespace platform_internal
