// ILanguageBox on a QComboBox (the language dialog's list).
#pragma once
#include <QComboBox>
#include <lvlang/LanguageTarget.h>

namespace lvlang {

class ComboLanguageBox : public ILanguageBox {
public:
    explicit ComboLanguageBox(QComboBox* box) : box_(box) {}
    void Clear() override { box_->clear(); }
    void AddItem(const QString& text, std::int32_t itemData) override {
        const bool first = box_->count() == 0;
        box_->addItem(text, QVariant(static_cast<int>(itemData)));
        // A combo box selects its first item by itself; the list starts without a choice.
        if (first) box_->setCurrentIndex(-1);
    }
    int ListCount() const override { return box_->count(); }
    int ListIndex() const override { return box_->currentIndex(); }
    void SetListIndex(int index) override { box_->setCurrentIndex(index); }
    QString ItemText(int index) const override { return box_->itemText(index); }
    std::int32_t ItemData(int index) const override { return box_->itemData(index).toInt(); }

private:
    QComboBox* box_;
};

} // namespace lvlang
