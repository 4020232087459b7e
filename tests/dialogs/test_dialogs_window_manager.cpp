// The Fill and Edit dialogs and the captions under a real window manager:
// real message boxes, activation decided by openbox.
#include <xcb/xcb.h>

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/about_box.h"
#include "dialogs/device_dialog.h"
#include "dialogs/serial_dialog.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

xcb_connection_t* Connection() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t Atom(const char* name) {
    xcb_connection_t* c = Connection();
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr), &free);
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Presses OK in each message box once the window manager has made it the
// active window, as a user would, and keeps what the boxes said.
class MessageBoxAnswerer : public QObject {
public:
    MessageBoxAnswerer() { qApp->installEventFilter(this); }
    ~MessageBoxAnswerer() override { qApp->removeEventFilter(this); }
    std::vector<QString> Texts;
    std::vector<QWidget*> Owners;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(object);
        if (box && event->type() == QEvent::WindowActivate) {
            Texts.push_back(box->text());
            Owners.push_back(box->parentWidget());
            QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
        }
        return false;
    }
};

class WindowManagerTest : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetApplicationIdentity();
        SetUserPrompts(nullptr);  // real message boxes
        Start();
        Formularz->show();
        ASSERT_TRUE(WaitActive(Formularz));
    }
    // Waits until `window` is the application's active window. (Qt's own
    // wait also counts a window active while its transient child is.)
    static bool WaitActive(QWidget* window) {
        return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 10000);
    }
    // Makes `window` the active window as the user's click on it would: a
    // request to the window manager on the user's behalf. (Qt's own request
    // skips the window manager when a transient child of the window is
    // active, and openbox then takes the focus back.)
    static bool Activate(QWidget* window) {
        xcb_connection_t* c = Connection();
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = xcb_window_t(window->winId());
        event.type = Atom("_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 2;  // on the user's behalf
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(c);
        return WaitActive(window);
    }
    // The user replaces the last character of the field's text with `c`.
    static void RetypeLast(DialogEdit* field, const char* c) {
        field->setFocus();
        field->setSelection(int(field->text().size()) - 1, 1);
        QTest::keyClicks(field, c);
    }
    static void TypeOver(DialogEdit* field, const char* text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
};

TEST_F(WindowManagerTest, FillKeepsItsRangeAfterItsOwnMessageBox) {
    MessageBoxAnswerer answerer;
    Formularz->FillBufferClick();
    ASSERT_TRUE(WaitActive(FillDialog));
    TypeOver(FillDialog->FillStop, "0001F");
    TypeOver(FillDialog->FillDataHex, "00");
    RetypeLast(FillDialog->FillStart, "G");
    ASSERT_EQ(answerer.Texts, std::vector<QString>{"Data format error !"});
    EXPECT_EQ(answerer.Owners[0], FillDialog) << "the box belongs to the dialog";
    EXPECT_EQ(FillDialog->FillStart->text(), "00000");

    // Back in the dialog (the user clicks it if the window manager went elsewhere).
    ASSERT_TRUE(Activate(FillDialog));
    EXPECT_EQ(FillDialog->FillStop->text(), "0001F");
    QTest::mouseClick(FillDialog->KlawiszFill, Qt::LeftButton);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x1F], 0x00);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x20], 0xFF);
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: E020");

    // Switching to the main window and back keeps what was typed.
    ASSERT_TRUE(Activate(Formularz));
    ASSERT_TRUE(Activate(FillDialog));
    EXPECT_EQ(FillDialog->FillStop->text(), "0001F");
}

TEST_F(WindowManagerTest, EditKeepsItsAddressAfterItsOwnMessageBox) {
    MessageBoxAnswerer answerer;
    Formularz->Tablica->SelectCell(5, 3);
    Formularz->EditCellClick();
    ASSERT_TRUE(WaitActive(EditDialog));
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00024");
    TypeOver(EditDialog->AdresEdit, "00010");
    TypeOver(EditDialog->NewEdit, "12");
    RetypeLast(EditDialog->AdresEdit, "G");
    ASSERT_EQ(answerer.Texts, std::vector<QString>{"Data format error !"});
    ASSERT_TRUE(Activate(EditDialog));
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00010");
    QTest::mouseClick(EditDialog->KlawiszSet, Qt::LeftButton);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x10], 0x12);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x24], 0xFF);
    ASSERT_TRUE(Activate(Formularz));
    ASSERT_TRUE(Activate(EditDialog));
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00010");
}

// While Program runs, nothing can change the image, the device or the port;
// after a hang-up the port is offered again, and Cancel keeps it.
TEST_F(WindowManagerTest, NothingChangesUnderARunningOperation) {
    MessageBoxAnswerer answerer;
    StartTarget(0xFFFF, 1, {.PaceBaud = 9600});
    Formularz->CommPort.SetPortNum(1);
    Formularz->CommPort.Open();
    const auto usable = [] {
        return std::vector{Formularz->LoadPlik->isEnabled(), Formularz->Clear1->isEnabled(), Formularz->Changeserialport1->isEnabled(),
                           Formularz->Selectdevice1->isEnabled(), FillDialog->KlawiszFill->isEnabled(), EditDialog->KlawiszSet->isEnabled()};
    };
    Formularz->Start1->trigger();
    ASSERT_TRUE(QTest::qWaitFor([] { return Formularz->Progress->value() > 0; }, 10000));
    EXPECT_EQ(usable(), std::vector<bool>(6, false));
    Formularz->Clear1Click();  // reached another way
    EXPECT_EQ(answerer.Texts, std::vector<QString>{"Buffer > Clear is not possible while an operation runs: wait for "
                                                   "its result, or Stop it."});
    Target->Stop();  // the adapter is pulled out
    ASSERT_TRUE(QTest::qWaitFor([] { return !Formularz->CommPort.Active(); }, 10000));
    EXPECT_EQ(usable(), std::vector<bool>(6, true));
    bool offered = false;
    QTimer::singleShot(0, [&offered] {
        offered = SerialDialog->comcheck[0]->isChecked();
        SerialDialog->CancelBtn->click();
    });
    Formularz->Changeserialport1Click();
    EXPECT_TRUE(offered);
    EXPECT_EQ(Formularz->CommPort.PortNum(), 1);
}

// Edit and Fill open apart, each where it was left; F10 and Alt reach the menu bar.
TEST_F(WindowManagerTest, DialogPlacesAndKeys) {
    Formularz->EditCellClick();
    Formularz->FillBufferClick();
    ASSERT_TRUE(WaitActive(FillDialog));
    EXPECT_FALSE(EditDialog->frameGeometry().intersects(FillDialog->frameGeometry()));
    const QPoint at = FillDialog->frameGeometry().topLeft();
    FillDialog->close();
    Formularz->FillBufferClick();
    ASSERT_TRUE(WaitActive(FillDialog));
    EXPECT_TRUE(QTest::qWaitFor([&] { return FillDialog->frameGeometry().topLeft() == at; }, 2000));
    ASSERT_TRUE(Activate(Formularz));
    for (Qt::Key key : {Qt::Key_F10, Qt::Key_Alt}) {
        QTest::keyClick(Formularz, key);
        EXPECT_TRUE(QTest::qWaitFor([] { return Formularz->menuBar()->activeAction() != nullptr; }, 2000)) << key;
        Formularz->menuBar()->setActiveAction(nullptr);
    }
}

// The caption a window manager shows: _NET_WM_NAME of the window.
QString ShownCaption(QWidget* w) {
    xcb_connection_t* c = Connection();
    std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> p(
        xcb_get_property_reply(
            c, xcb_get_property(c, 0, xcb_window_t(w->winId()), Atom("_NET_WM_NAME"), Atom("UTF8_STRING"), 0, 256),
            nullptr),
        &free);
    if (!p) return {};
    return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(p.get())),
                             xcb_get_property_value_length(p.get()));
}

TEST_F(WindowManagerTest, EachCaptionIsExactlyItsOwnText) {
    const std::pair<QWidget*, const char*> windows[] = {
        {Formularz, "Pelk ISP"},    {DeviceDialog, "Select device"}, {SerialDialog, "Select port"},
        {AboutBox, "About"},        {FillDialog, "FILL"},            {EditDialog, "EDIT"},
        {LoadDialog, "LOAD"},
    };
    for (const auto& [w, caption] : windows) {
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
        EXPECT_EQ(ShownCaption(w), caption);
        if (w != Formularz) w->hide();
    }
}

}  // namespace
}  // namespace pelk
