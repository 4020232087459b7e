// The hexadecimal entry fields and their stepping buttons, through the
// dialogs that use them.
#include "image/device_table.h"
#include "support/qt_input.h"
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
    DialogEdit* f = &FillField("fromField");
    f->putText("00010");
    f->setFocus();
    f->setCursorPosition(5);
    f->setSelection(4, 1);
    test::KeyClicks(f, "G");
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
        EditField("addressField").putText("00010");
        ASSERT_EQ(W().editDialog().address(), 0x10u);
        UserText(&EditField("addressField"), c.pasted);
        EXPECT_EQ(Prompts.Messages.size(), c.messages);
        for (const auto& m : Prompts.Messages) EXPECT_EQ(m, "Data format error !");
        EXPECT_EQ(EditField("addressField").text(), "00010");
        EXPECT_EQ(W().editDialog().address(), 0x10u);
    }
}

TEST_F(HexFieldTest, ProgramSetTextThatIsRefusedGoesBackToo) {
    EditField("addressField").putText("00020");
    EditField("addressField").putText("0Q020");
    EXPECT_EQ(EditField("addressField").text(), "00020");
    EXPECT_EQ(W().editDialog().address(), 0x20u);
    EXPECT_EQ(Prompts.Messages.size(), 1u);
}

TEST_F(HexFieldTest, ARestoredTextIsTakenAsItIs) {
    // The limit has dropped below both the field's text and the text before
    // it: a refused step goes back once, takes the restored text as it is
    // (no second undo, no second message) and no value beyond the limit.
    struct {
        QWidget* dialog;
        const char *field, *down;
    } cases[] = {{&W().fillDialog(), "fromField", "fromDown"}, {&W().editDialog(), "addressField", "addressDown"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        DialogEdit& field = Field(*c.dialog, c.field);
        Prompts.Messages.clear();
        ApplyDeviceIndex(W().image(), 6);
        Activate(*c.dialog);
        field.putText("1FFF0");
        ApplyDeviceIndex(W().image(), 3);  // the field keeps its text
        Activate(*c.dialog);
        const uint32_t editAddress = W().editDialog().address();
        Child<StepButton>(*c.dialog, c.down).onMouseDown();
        EXPECT_EQ(field.text(), "1FFF0");
        EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
        EXPECT_EQ(W().editDialog().address(), editAddress);
    }
}

TEST_F(HexFieldTest, ClearedFieldKeepsTheValueQuietly) {
    EditField("addressField").putText("00123");
    UserText(&EditField("addressField"), "");
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_EQ(W().editDialog().address(), 0x123u);
}

TEST_F(HexFieldTest, LowerCaseIsShownInUpperCaseAndTypingStopsAtTheLimit) {
    DialogEdit* f = &FillField("dataHex");
    f->putText("");
    f->setFocus();
    test::KeyClicks(f, "a");
    EXPECT_EQ(f->text(), "A");
    EXPECT_EQ(FillField("dataChar").text(), "\n");
    test::KeyClicks(f, "bc");  // the field takes two characters
    EXPECT_EQ(f->text(), "AB");
    // The program may put a longer text in; typing cannot lengthen it, but
    // deleting shortens it.
    DialogEdit field;
    DialogEdit* stop = &field;
    stop->setTypingLimit(5);
    stop->putText("FFFFFFFF");
    EXPECT_EQ(stop->text(), "FFFFFFFF");
    stop->setFocus();
    stop->end(false);
    test::KeyClicks(stop, "1");
    EXPECT_EQ(stop->text(), "FFFFFFFF");
    test::KeyClick(stop, Qt::Key_Backspace);
    EXPECT_EQ(stop->text(), "FFFFFFF");
    EXPECT_TRUE(Prompts.Messages.empty());
}

TEST_F(HexFieldTest, SteppingStaysWithinItsBounds) {
    // Edit: limit EditMaxAddress; the text is rewritten even at a bound.
    EditField("addressField").putText("0FFFF");
    Child<StepButton>(W().editDialog(), "addressUp").onMouseDown();
    EXPECT_EQ(EditField("addressField").text(), "0FFFF");
    EditField("addressField").putText("0");
    Child<StepButton>(W().editDialog(), "addressDown").onMouseDown();
    EXPECT_EQ(EditField("addressField").text(), "00000");
    EditField("addressField").putText("FFF");
    Child<StepButton>(W().editDialog(), "addressUp").onMouseDown();
    EXPECT_EQ(EditField("addressField").text(), "01000");
    EXPECT_EQ(W().editDialog().address(), 0x1000u);
    Child<StepButton>(W().editDialog(), "addressDown").onMouseDown();
    EXPECT_EQ(EditField("addressField").text(), "00FFF");
    EXPECT_TRUE(Prompts.Messages.empty()) << "stepping never shows a message";
}

TEST_F(HexFieldTest, AnyMouseButtonSteps) {
    FillField("fromField").putText("00010");
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        test::MousePress(&Child<StepButton>(W().fillDialog(), "fromUp"), b);
        test::MouseRelease(&Child<StepButton>(W().fillDialog(), "fromUp"), b);
        EXPECT_FALSE(Child<StepButton>(W().fillDialog(), "fromUp").isDown()) << "drawn released after button " << int(b);
    }
    EXPECT_EQ(FillField("fromField").text(), "00013");
}

}  // namespace
}  // namespace pelk
