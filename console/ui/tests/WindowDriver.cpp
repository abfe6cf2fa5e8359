#include "WindowDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>

namespace uitest {

ModalAnswerer::ModalAnswerer() {
    connect(&timer_, &QTimer::timeout, this, &ModalAnswerer::Poll);
    timer_.start(15);
}

QStringList ModalAnswerer::Texts() const {
    QStringList l;
    for (const ShownBox& b : boxes)
        l << b.text;
    return l;
}

void ModalAnswerer::Poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
        if (box->button(QMessageBox::Yes)) {
            questions << box->text();
            if (onQuestion) onQuestion(box->text());
            box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
        } else {
            boxes.push_back({box->icon(), box->windowTitle(), box->text()});
            if (QAbstractButton* b = box->button(QMessageBox::Ok))
                b->click();
            else
                box->done(0);
        }
        return;
    }
    if (auto* fd = qobject_cast<QFileDialog*>(w)) {
        ++fileDialogs;
        if (saveFile.isEmpty()) {
            fd->reject();
        } else {
            // The name box is read on accept; setting it directly does not race the
            // dialog's folder loading.
            fd->selectFile(saveFile);
            if (auto* name = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(saveFile);
            QMetaObject::invokeMethod(fd, "accept");
        }
        return;
    }
    auto* dlg = qobject_cast<QDialog*>(w);
    if (!dlg) return;
    if (dlg->objectName() == QLatin1String("frmLanguage")) {
        auto* box = dlg->findChild<QComboBox*>(QStringLiteral("cboLanguage"));
        const int i = box ? box->findText(language) : -1;
        if (i < 0) {
            dlg->reject();
            return;
        }
        box->setCurrentIndex(i);
        dlg->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
        return;
    }
    // A Login ID dialog: the change dialog has two ID boxes.
    QList<QLineEdit*> edits;
    for (QLineEdit* e : dlg->findChildren<QLineEdit*>())
        if (e->isVisible()) edits << e;
    const bool change = edits.size() >= 2 ||
                        dlg->windowTitle().contains(QLatin1String("Change"), Qt::CaseInsensitive);
    std::deque<QString>& queue = change ? newIds : loginIds;
    if (queue.empty() || queue.front().isEmpty()) {
        if (!queue.empty()) queue.pop_front();
        dlg->reject();
        return;
    }
    const QString id = queue.front();
    queue.pop_front();
    if (auto* input = qobject_cast<QInputDialog*>(dlg)) {
        input->setTextValue(id);
        input->accept();
        return;
    }
    for (QLineEdit* e : edits)
        e->setText(id);
    if (auto* ok = dlg->findChild<QPushButton*>(QStringLiteral("cmdOK")))
        ok->click();
    else
        dlg->accept();
}

} // namespace uitest
