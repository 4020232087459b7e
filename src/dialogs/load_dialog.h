#pragma once
// "LOAD": which range of the file just read goes where in the image.
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdint>

#include "dialogs/hex_field.h"
#include "image/file_load.h"
#include "image/memory_image.h"

namespace pelk {

class LoadDialog : public QDialog {
    Q_OBJECT
public:
    LoadDialog(const MemoryImage& image, QWidget* parent = nullptr);

    // Shows the dialog modally for the file just read (its name and type,
    // "HEX" or "BIN"), with the proposal for the image's LoadedExtent; true
    // after "OK".
    bool execute(const QString& fileName, const QString& fileType);
    // The choice as the copy into the image takes it.
    LoadSelection selection() const;

private:
    void formActivate();
    void computeSize();
    void startChanged();
    void stopChanged();
    void offsetChanged();
    void restoreDefaults();
    void updateOkButton();
    void stepField(DialogEdit* field, bool up);
    // Start or stop is complete (the field was left, Return or OK pressed,
    // or a step taken): a start above the stop moves the other one to it.
    void rangeCommitted(DialogEdit* field);
    // "OK": the range being typed is committed first.
    void okClicked();
    uint32_t offsetLimit() const;

    const MemoryImage& image;
    // LoadedExtent - 1, computed at each activation: bounds start and stop and,
    // except for the two-bank device, the destination offset.
    uint32_t maxInputAddress = 0;
    uint32_t startValue = 0;
    uint32_t stopValue = 0;
    uint32_t offsetValue = 0;
    int32_t sizeValue = 0;
    DialogEdit* rangeTyped = nullptr;  // start or stop, the last typed into

    QLineEdit* fileNameField;
    QLabel* fileTypeLabel;
    DialogEdit* startField;
    DialogEdit* stopField;
    DialogEdit* offsetField;
    DialogEdit* sizeField;
    StepButton *startUp, *startDown, *stopUp, *stopDown, *offsetUp, *offsetDown;
    QRadioButton* bank0;
    QRadioButton* bank1;
    QCheckBox* clearBuffer;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QPushButton* defaultButton;
};

}  // namespace pelk
