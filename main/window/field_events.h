// SPDX-License-Identifier: MIT
// The two-character entry fields: capitals as typed, and the click, enter
// and exit of a field as events of their own.
#pragma once

#include <QObject>
#include <QValidator>

#include <functional>

class QLineEdit;

namespace varnolink {

// Turns typed letters into capitals; accepts every character, so that the
// entry rules (not the field) decide what a non-hexadecimal character means.
class TUpperCaseValidator : public QValidator {
    Q_OBJECT

public:
    using QValidator::QValidator;
    State validate(QString& Input, int& Position) const override;
};

// The click, focus-in and focus-out events of an edit field, as handlers.
// A left-button press (or double-click) inside the field is a click; the
// focus arriving from or leaving for another control of the window is an
// enter or an exit. Focus changes that only switch windows or open a popup
// (context menu) are neither: the operator has not left the field.
// For a click into a field without the focus, the enter comes first.
class TFieldEvents : public QObject {
    Q_OBJECT

public:
    TFieldEvents(QLineEdit* Field, std::function<void()> OnClick, std::function<void()> OnEnter,
                 std::function<void()> OnExit);

    // Stops calling the handlers (the window is being destroyed).
    void Detach();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QLineEdit* Field_;
    std::function<void()> OnClick_;
    std::function<void()> OnEnter_;
    std::function<void()> OnExit_;
};

// Makes a field an entry field of at most two characters, typed letters in
// capitals, with the given event handlers. The filter is a child of Field.
TFieldEvents* MakeTwoCharacterField(QLineEdit* Field, std::function<void()> OnClick, std::function<void()> OnEnter,
                                    std::function<void()> OnExit);

}  // namespace varnolink
