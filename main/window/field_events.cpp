// SPDX-License-Identifier: MIT
// The entry fields' validator and their click, enter and exit events.
#include "main/window/field_events.h"

#include <QEvent>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMouseEvent>

#include "main/window/error_display.h"

namespace varnolink {

namespace {

constexpr int TwoCharacters = 2;

bool LeavesOrEntersField(Qt::FocusReason Reason)
{
    return Reason != Qt::ActiveWindowFocusReason && Reason != Qt::PopupFocusReason && Reason != Qt::MenuBarFocusReason;
}

}  // namespace

QValidator::State TUpperCaseValidator::validate(QString& Input, int& /*Position*/) const
{
    // One character for one: the length and the cursor stay as they are.
    for (QChar& Ch : Input)
        Ch = Ch.toUpper();
    return Acceptable;
}

TFieldEvents::TFieldEvents(QLineEdit* Field, std::function<void()> OnClick, std::function<void()> OnEnter,
                           std::function<void()> OnExit)
    : QObject(Field),
      Field_(Field),
      OnClick_(std::move(OnClick)),
      OnEnter_(std::move(OnEnter)),
      OnExit_(std::move(OnExit))
{
    Field_->installEventFilter(this);
}

void TFieldEvents::Detach()
{
    Field_->removeEventFilter(this);
    OnClick_ = nullptr;
    OnEnter_ = nullptr;
    OnExit_ = nullptr;
}

bool TFieldEvents::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Watched != Field_)
        return false;
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton && OnClick_)
            RunGuarded(OnClick_);
        break;
    case QEvent::FocusIn:
        if (LeavesOrEntersField(static_cast<QFocusEvent*>(Event)->reason()) && OnEnter_)
            RunGuarded(OnEnter_);
        break;
    case QEvent::FocusOut:
        if (LeavesOrEntersField(static_cast<QFocusEvent*>(Event)->reason()) && OnExit_)
            RunGuarded(OnExit_);
        break;
    default:
        break;
    }
    // The field still gets every event (cursor placement, focus frame).
    return false;
}

TFieldEvents* MakeTwoCharacterField(QLineEdit* Field, std::function<void()> OnClick, std::function<void()> OnEnter,
                                    std::function<void()> OnExit)
{
    Field->setMaxLength(TwoCharacters);
    Field->setValidator(new TUpperCaseValidator(Field));
    return new TFieldEvents(Field, std::move(OnClick), std::move(OnEnter), std::move(OnExit));
}

}  // namespace varnolink
