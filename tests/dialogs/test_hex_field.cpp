// The hexadecimal entry fields and their stepping buttons, through the
// dialogs that use them.
#include <QMouseEvent>
#include <QTest>

#include "image/device_table.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

class HexFieldTest : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Start();
    }
    // The user's own change of the text (typing or pasting), not the program's.
    static void UserText(DialogEdit* field, const QString& text) { field->setText(text); }
};

TEST_F(HexFieldTest, TypedLetterGIsRefused) {
    DialogEdit* f = FillDialog->FillStart;
    f->SetText("00010");
    f->setFocus();
    f->setCursorPosition(5);
    f->setSelection(4, 1);
    QTest::keyClicks(f, "G");
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Data format error !"});
    EXPECT_EQ(f->text(), "00010");
}

TEST_F(HexFieldTest, PastedTextsAreCheckedCharacterByCharacter) {
    struct {
        const char* pasted;
        size_t messages;
    } cases[] = {{"1G", 1}, {"XY", 2}, {"zz9", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pasted);
        Prompts.Messages.clear();
        EditDialog->AdresEdit->SetText("00010");
        ASSERT_EQ(EditAddress, 0x10u);
        UserText(EditDialog->AdresEdit, c.pasted);
        EXPECT_EQ(Prompts.Messages.size(), c.messages);
        for (const auto& m : Prompts.Messages) EXPECT_EQ(m, "Data format error !");
        EXPECT_EQ(EditDialog->AdresEdit->text(), "00010");
        EXPECT_EQ(EditAddress, 0x10u);
    }
}

TEST_F(HexFieldTest, ProgramSetTextThatIsRefusedGoesBackToo) {
    EditDialog->AdresEdit->SetText("00020");
    EditDialog->AdresEdit->SetText("0Q020");
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00020");
    EXPECT_EQ(EditAddress, 0x20u);
    EXPECT_EQ(Prompts.Messages.size(), 1u);
}

TEST_F(HexFieldTest, ARestoredTextIsTakenAsItIs) {
    // The limit has dropped below both the field's text and the text before
    // it: a refused step goes back once, takes the restored text as it is
    // (no second undo, no second message) and no value beyond the limit.
    struct {
        DialogEdit* field;
        StepButton* down;
    } cases[] = {{FillDialog->FillStart, FillDialog->SpeedButton2}, {EditDialog->AdresEdit, EditDialog->SpeedButton2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field->objectName().toStdString());
        Prompts.Messages.clear();
        ApplyDeviceIndex(Formularz->Image, 6);
        FillMaxAddress = 0x1FFFF;
        c.field->SetText("1FFF0");
        ApplyDeviceIndex(Formularz->Image, 3);
        FillMaxAddress = 0x7FFF;
        EditAddress = 0x100;
        c.down->OnMouseDown();
        EXPECT_EQ(c.field->text(), "1FFF0");
        EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
        EXPECT_EQ(EditAddress, 0x100u);
    }
}

TEST_F(HexFieldTest, ClearedFieldKeepsTheValueQuietly) {
    EditDialog->AdresEdit->SetText("00123");
    UserText(EditDialog->AdresEdit, "");
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_EQ(EditAddress, 0x123u);
}

TEST_F(HexFieldTest, LowerCaseIsShownInUpperCaseAndTypingStopsAtTheLimit) {
    DialogEdit* f = FillDialog->FillDataHex;
    f->SetText("");
    f->setFocus();
    QTest::keyClicks(f, "a");
    EXPECT_EQ(f->text(), "A");
    EXPECT_EQ(FillDialog->FillDataAscii->text(), "\n");
    QTest::keyClicks(f, "bc");  // the field takes two characters
    EXPECT_EQ(f->text(), "AB");
    // The program may put a longer text in; typing cannot lengthen it, but
    // deleting shortens it.
    MaxInputAddress = 0xFFFFFFFF;
    DialogEdit* stop = LoadDialog->InputStop;
    stop->SetMaxLength(5);
    stop->SetText("FFFFFFFF");
    EXPECT_EQ(stop->text(), "FFFFFFFF");
    stop->setFocus();
    stop->end(false);
    QTest::keyClicks(stop, "1");
    EXPECT_EQ(stop->text(), "FFFFFFFF");
    QTest::keyClick(stop, Qt::Key_Backspace);
    EXPECT_EQ(stop->text(), "FFFFFFF");
    EXPECT_TRUE(Prompts.Messages.empty());
}

TEST_F(HexFieldTest, SteppingStaysWithinItsBounds) {
    // Edit: limit EditMaxAddress; the text is rewritten even at a bound.
    EditDialog->AdresEdit->SetText("0FFFF");
    EditDialog->SpeedButton1->OnMouseDown();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "0FFFF");
    EditDialog->AdresEdit->SetText("0");
    EditDialog->SpeedButton2->OnMouseDown();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00000");
    EditDialog->AdresEdit->SetText("FFF");
    EditDialog->SpeedButton1->OnMouseDown();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "01000");
    EXPECT_EQ(EditAddress, 0x1000u);
    EditDialog->SpeedButton2->OnMouseDown();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00FFF");
    EXPECT_TRUE(Prompts.Messages.empty()) << "stepping never shows a message";
}

TEST_F(HexFieldTest, AnyMouseButtonSteps) {
    FillDialog->FillStart->SetText("00010");
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        QTest::mousePress(FillDialog->SpeedButton1, b);
        QTest::mouseRelease(FillDialog->SpeedButton1, b);
        EXPECT_FALSE(FillDialog->SpeedButton1->isDown()) << "drawn released after button " << int(b);
    }
    EXPECT_EQ(FillDialog->FillStart->text(), "00013");
}

}  // namespace
}  // namespace pelk
