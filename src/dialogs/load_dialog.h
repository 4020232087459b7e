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

namespace pelk {

// LoadedExtent - 1, computed at each activation: bounds start and stop and,
// except for the two-bank device, the destination offset.
extern uint32_t MaxInputAddress;

class TLoadDialog : public QDialog {
    Q_OBJECT
public:
    explicit TLoadDialog(QWidget* parent = nullptr);

    uint32_t InputStartValue = 0;
    uint32_t InputStopValue = 0;
    uint32_t BufferOffsetValue = 0;
    int32_t DataSizeValue = 0;

    QLineEdit* FileName;
    QLabel* FileType;
    DialogEdit* InputStart;
    DialogEdit* InputStop;
    DialogEdit* BufferOffset;
    DialogEdit* DataSize;
    StepButton *SpeedButton1, *SpeedButton2, *SpeedButton3, *SpeedButton4, *SpeedButton5, *SpeedButton6;
    QRadioButton* RadioBank0;
    QRadioButton* RadioBank1;
    QCheckBox* ClearBuff;
    QPushButton* OKBtn;
    QPushButton* Button1;  // Cancel
    QPushButton* Button2;  // Default

    void FormActivate();
    void ObliczRozmiar();
    void InputStartChange();
    void InputStopChange();
    void BufferOffsetChange();
    void Button2Click();
    void UpdateOkButton();
    void SpeedButtonMouseDown(DialogEdit* field, bool up);
    // Start or stop is complete (the field was left, Return or OK pressed,
    // or a step taken): a start above the stop moves the other one to it.
    void RangeCommitted(DialogEdit* field);
    // "OK": the range being typed is committed first.
    void OKBtnClick();

    // Shows the dialog modally (activating it first); true after "OK".
    bool Execute();
    // The choice as the copy into the image takes it.
    LoadSelection Selection() const;

private:
    DialogEdit* RangeTyped = nullptr;  // start or stop, the last typed into
};

}  // namespace pelk
