#include "failure_box.h"

#include <QMessageBox>
#include <QWidget>

namespace kestavo {
namespace {

void showBox(QWidget *window, QMessageBox::Icon icon, const QString &text)
{
    auto *box = new QMessageBox(icon, window->windowTitle(), text, QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

} // namespace

QString failureBoxText(const Failure &failure)
{
    return QObject::tr("Fehler %1: %2").arg(failure.code).arg(failure.text);
}

void showFailureBox(QWidget *window, const Failure &failure)
{
    showBox(window, QMessageBox::Critical, failureBoxText(failure));
}

void showNoticeBox(QWidget *window, const QString &text)
{
    showBox(window, QMessageBox::Information, text);
}

} // namespace kestavo
