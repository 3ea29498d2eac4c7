#pragma once

#include "failure.h"

class QWidget;

namespace kestavo {

// Window-modal and asynchronous: no nested event loop inside a click or a
// line signal.
void showFailureBox(QWidget *window, const Failure &failure);
void showNoticeBox(QWidget *window, const QString &text);

QString failureBoxText(const Failure &failure);

} // namespace kestavo
