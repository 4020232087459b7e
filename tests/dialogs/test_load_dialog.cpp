// File > Load with the load dialog, and File > Save.
#include <fstream>
#include <random>

#include "dialogs/device_dialog.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

class LoadTest : public test::WindowTest {
protected:
    // What the dialog showed when it opened.
    struct Shown {
        QString Start, Stop, Offset, Size, FileType;
        bool BanksEnabled = false;
    } Seen;

    std::string WriteBinary(const std::string& name, size_t size, uint8_t first = 0) {
        std::ofstream f(name, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(char(uint8_t(first + i)));
        return (Dir / name).string();
    }
    void StartWithDevice(const char* device) {
        WriteSettings("0", device, "", "6", "1");
        Start();
    }
    // Loads a file; `user` plays the user in the dialog (nullptr: OK as proposed).
    void Load(const std::string& path, int filterIndex, std::function<bool(LoadDialog&)> user = nullptr) {
        Prompts.OpenAnswers.push_back(FileDialogResult{QString::fromStdString(path), filterIndex});
        Prompts.OnDialog = [this, user](QDialog& dialog) {
            auto& ld = dynamic_cast<LoadDialog&>(dialog);
            Seen = {Field(ld, "start").text(),
                    Field(ld, "stop").text(),
                    Field(ld, "offset").text(),
                    Field(ld, "size").text(),
                    Child<QLabel>(ld, "fileType").text(),
                    Child<QRadioButton>(ld, "bank1").isEnabled()};
            const bool ok = user ? user(ld) : true;
            return int(ok ? QDialog::Accepted : QDialog::Rejected);
        };
        W().load();
    }
    const uint8_t* Bytes() const { return W().image().ImageBuffer.data(); }
};

TEST_F(LoadTest, BinaryLongerThanTheDeviceIsCut) {
    StartWithDevice("3");
    Load(WriteBinary("big.bin", 40000, 7), 2);
    EXPECT_EQ(Seen.Start, "00000");
    EXPECT_EQ(Seen.Stop, "07FFF");
    EXPECT_EQ(Seen.Size, "032768");
    EXPECT_EQ(Seen.FileType, "BIN");
    EXPECT_FALSE(Seen.BanksEnabled);
    EXPECT_EQ(W().image().LoadedExtent, 0x8000u);
    EXPECT_EQ(Bytes()[0], 7);
    EXPECT_EQ(Bytes()[0x7FFF], uint8_t(7 + 0x7FFF));
    EXPECT_EQ(Child<QLineEdit>(W().loadDialog(), "fileName").text().toStdString(), (Dir / "big.bin").string());
    EXPECT_EQ(W().openState().FileName.toStdString(), (Dir / "big.bin").string());
}

TEST_F(LoadTest, SmallFileLimitsTheOffset) {
    StartWithDevice("1");
    Load(WriteBinary("small.bin", 100), 3, [this](LoadDialog& ld) {
        Field(ld, "offset").setText("00064");  // typed
        EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
        EXPECT_EQ(Field(ld, "offset").text(), "00000");
        Field(ld, "offset").setText("00063");
        return true;
    });
    EXPECT_EQ(Seen.Stop, "00063");
    EXPECT_EQ(Seen.Size, "000100");
    EXPECT_EQ(Bytes()[0x63], 0);
    EXPECT_EQ(Bytes()[0x63 + 99], 99);
    EXPECT_EQ(Bytes()[0x62], 0xFF);
}

TEST_F(LoadTest, BankOneOfTheLargestDevice) {
    StartWithDevice("6");
    W().resize(501, 581);
    Load(WriteBinary("bank.bin", 0x10200, 1), 2, [this](LoadDialog& ld) {
        EXPECT_TRUE(Child<QRadioButton>(ld, "bank0").isChecked());
        Field(ld, "offset").setText("10000");
        Field(ld, "offset").putText("0FFFF");
        Child<StepButton>(ld, "offsetUp").onMouseDown();  // at the bank's end the up button stops, without a message
        EXPECT_EQ(Field(ld, "offset").text(), "0FFFF");
        EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
        Field(ld, "stop").setText("001FF");
        Field(ld, "offset").setText("00100");
        Child<QRadioButton>(ld, "bank1").setChecked(true);
        return true;
    });
    EXPECT_TRUE(Seen.BanksEnabled);
    EXPECT_EQ(Bytes()[0x10100], 1);
    EXPECT_EQ(Bytes()[0x102FF], uint8_t(1 + 0x1FF));
    EXPECT_EQ(Bytes()[0x100], 0xFF);
    EXPECT_EQ(W().grid().topRow(), 0x10100 / 16 + 1);
}

TEST_F(LoadTest, RangeIsClippedAtTheDevicesEnd) {
    StartWithDevice("3");
    Load(WriteBinary("f.bin", 0x8000, 0x80), 2, [](LoadDialog& ld) {
        Field(ld, "start").setText("00010");
        Field(ld, "stop").setText("0001F");
        Field(ld, "offset").setText("07FF8");
        return true;
    });
    for (uint32_t a = 0; a < 8; ++a) EXPECT_EQ(Bytes()[0x7FF8 + a], 0x90 + a);
    EXPECT_EQ(Bytes()[0x8000], 0xFF) << "nothing beyond the device";
    EXPECT_EQ(Bytes()[0x7FF7], 0xFF);
}

TEST_F(LoadTest, StartAndStopPushEachOther) {
    StartWithDevice("1");
    Load(WriteBinary("f.bin", 0x100), 2, [](LoadDialog& ld) {
        // typed digit by digit, a stop moves nothing until it is complete.
        Field(ld, "start").setText("00010");
        for (const char* typed : {"0", "00", "000", "0002", "00020"}) Field(ld, "stop").setText(typed);
        EXPECT_EQ(Field(ld, "start").text(), "00010");
        Field(ld, "start").setText("00030");  // above the stop: the stop moves up
        emit Field(ld, "start").editingFinished();
        EXPECT_EQ(Field(ld, "stop").text(), "00030");
        EXPECT_EQ(Field(ld, "size").text(), "000001");
        Field(ld, "stop").setText("00010");  // below the start: the start moves down
        emit Field(ld, "stop").editingFinished();
        EXPECT_EQ(Field(ld, "start").text(), "00010");
        EXPECT_EQ(ld.selection().InputStartValue, 0x10u);
        Field(ld, "stop").setText("00100");  // beyond the file
        EXPECT_EQ(Field(ld, "stop").text(), "00010");
        Field(ld, "stop").setText("");
        EXPECT_FALSE(Child<QPushButton>(ld, "okButton").isEnabled());
        Field(ld, "stop").setText("0001F");
        EXPECT_TRUE(Child<QPushButton>(ld, "okButton").isEnabled());
        EXPECT_EQ(Field(ld, "size").text(), "000016");
        // The buttons: at MaxInputAddress up does nothing, at 0 down does nothing.
        Field(ld, "stop").putText("000FF");
        Child<StepButton>(ld, "stopUp").onMouseDown();
        EXPECT_EQ(Field(ld, "stop").text(), "000FF");
        Field(ld, "start").putText("00000");
        Child<StepButton>(ld, "startDown").onMouseDown();
        EXPECT_EQ(Field(ld, "start").text(), "00000");
        Child<StepButton>(ld, "startUp").onMouseDown();
        EXPECT_EQ(Field(ld, "start").text(), "00001");
        return true;
    });
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
    EXPECT_EQ(Bytes()[0], 1);
    EXPECT_EQ(Bytes()[0xFD], 0xFE);
}

TEST_F(LoadTest, ClearBufferOnAndOff) {
    StartWithDevice("1");
    W().image().ImageBuffer[0x500] = 0x11;
    W().image().ImageBuffer[0x1F000] = 0x22;  // above the device
    Load(WriteBinary("f.bin", 0x10), 2, [](LoadDialog& ld) {
        Child<QCheckBox>(ld, "clearBuffer").setChecked(false);
        return true;
    });
    EXPECT_EQ(Bytes()[0x500], 0x11);
    EXPECT_FALSE(Child<QCheckBox>(W().loadDialog(), "clearBuffer").isChecked()) << "the choice is kept for the next load";
    Load(WriteBinary("f.bin", 0x10), 2, [](LoadDialog& ld) {
        Child<QPushButton>(ld, "defaultButton").click();  // Default checks it again
        return true;
    });
    EXPECT_EQ(Bytes()[0x500], 0xFF);
    EXPECT_EQ(Bytes()[0x1F000], 0x22);
}

TEST_F(LoadTest, CancelLeavesTheImage) {
    StartWithDevice("1");
    const QString crc = W().panelText(2);
    Load(WriteBinary("f.bin", 0x10), 2, [](LoadDialog&) { return false; });
    EXPECT_EQ(Bytes()[0], 0xFF);
    EXPECT_EQ(W().panelText(2), crc);
}

TEST_F(LoadTest, HexFileWithoutRecords) {
    StartWithDevice("1");
    { std::ofstream("empty.hex") << ":00000001FF\r\n"; }
    W().image().ImageBuffer[0x10] = 0;
    Load((Dir / "empty.hex").string(), 1);
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"empty.hex: nothing loaded: no data record"});
    EXPECT_TRUE(Prompts.DialogsShown.empty());
    EXPECT_EQ(Bytes()[0x10], 0);
}

// What a file leaves out is told before the image changes; under "All
// Files", and for a HEX name under any type, the content decides.
TEST_F(LoadTest, HexByContentAndWhatIsLeftOut) {
    const std::string hex = ":0100000011EE\r\n:020010001234A8\r\n", end = ":00000001FF\r\n";
    const char* doesNotFit = " does not fit the W78E58B (last address 07FFF)";
    const struct {  // type: as the dialog shows it, empty for no dialog
        const char *name, *offset;
        int filter;
        std::string content;
        const char* type;
        QString told;
    } cases[] = {
        {"blinky.hex", "00000", 2, hex + end, "HEX", ""},
        {"fw.h86", "00000", 3, hex + end, "HEX", ""},
        {"high.hex", "00000", 1, hex + ":01800000AAD5\r\n" + end, "HEX",
         QString("high.hex: data up to 08000") + doesNotFit + ": 1 byte left out"},
        {"cut.hex", "00000", 1, hex, "HEX", "cut.hex: no end record (:00000001FF): the file may be cut short"},
        {"big.bin", "00000", 2, std::string(0x10000, '\x11'), "BIN",
         QString("big.bin: 65536 bytes (up to 0FFFF) do not fit the W78E58B (last address 07FFF): the bytes after "
                 "07FFF are left out")},
        {"empty.bin", "00000", 2, "", "", "empty.bin: nothing loaded: the file is empty"},
        {"f.bin", "00010", 2, std::string(0x8000, '\x11'), "BIN", QString("f.bin: offset 00010: data up to 0800F") + doesNotFit},
    };
    StartWithDevice("3");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(c.name, std::ios::binary) << c.content;
        Prompts.Messages.clear();
        Seen = {};
        Load((Dir / c.name).string(), c.filter, [&c](LoadDialog& ld) { Field(ld, "offset").setText(c.offset); return true; });
        EXPECT_EQ(Prompts.Messages, c.told.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.told});
        EXPECT_EQ(Seen.FileType, c.type);
        EXPECT_EQ(Bytes()[0x11], c.type[0] == 'H' ? 0x34 : 0x11);
    }
}

TEST_F(LoadTest, MissingFileAndCancelledDialog) {
    StartWithDevice("1");
    Load((Dir / "nothing.bin").string(), 2);
    const std::string why = "Can't open file\n" + (Dir / "nothing.bin").string() + ": No such file or directory";
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{QString::fromStdString(why)});
    EXPECT_TRUE(Prompts.DialogsShown.empty()) << "no load dialog after a failed open";
    W().load();  // the open dialog is cancelled
    EXPECT_EQ(Prompts.Messages.size(), 1u);
}

TEST_F(LoadTest, OpenDialogStartsInTheSavedDirectoryAndTheDirectoryIsSaved) {
    const std::string folder = (Dir / "").string();  // with the system's separator at its end
    WriteSettings("0", "1", folder, "6", "1");
    Start();
    Load(WriteBinary("f.bin", 4), 2);
    ASSERT_EQ(Prompts.OpenRequests.size(), 1u);
    EXPECT_EQ(Prompts.OpenRequests[0].Directory.toStdString(), folder);
    EXPECT_EQ(Prompts.OpenRequests[0].Filter, FileFilter);
    Exit();
    EXPECT_EQ(SettingsLines()[3], folder);
}

class SaveTest : public LoadTest {
protected:
    std::vector<uint8_t> ReadAll(const std::string& name) {
        std::ifstream f(name, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
};

TEST_F(SaveTest, HexAndBinaryByTheChosenType) {
    StartWithDevice("1");
    W().image().ImageBuffer[0] = 0x02;
    W().image().ImageBuffer[1] = 0x00;
    W().image().ImageBuffer[2] = 0x30;
    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "out").string()), 1});
    W().save();
    EXPECT_EQ(Prompts.SaveRequests[0].DefaultExt, "hex");
    EXPECT_TRUE(Prompts.SaveRequests[0].ConfirmOverwrite);
    const auto hex = ReadAll("out.hex");
    EXPECT_EQ(std::string(hex.begin(), hex.end()), ":10000000020030FFFFFFFFFFFFFFFFFFFFFFFFFFCB\r\n:00000001FF\r\n");

    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "out").string()), 2});
    W().save();
    const auto bin = ReadAll("out.bin");
    ASSERT_EQ(bin.size(), 131072u);
    EXPECT_EQ(bin[2], 0x30);
    EXPECT_TRUE(Prompts.Messages.empty());
}

TEST_F(SaveTest, AllFilesWritesBinaryAndLeavesBinAsTheDefault) {
    StartWithDevice("1");
    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "image.dat").string()), 3});
    W().save();
    EXPECT_EQ(ReadAll("image.dat").size(), 131072u);
    EXPECT_EQ(W().saveState().DefaultExt, "bin");
    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "again").string()), 3});
    W().save();
    EXPECT_EQ(Prompts.SaveRequests[1].DefaultExt, "bin");
    // The type change itself: HEX gives "hex", BINARY "bin", All Files none.
    EXPECT_EQ(W().saveTypeChanged(1), "hex");
    EXPECT_EQ(W().saveTypeChanged(2), "bin");
    EXPECT_EQ(W().saveTypeChanged(3), "");
}

TEST_F(SaveTest, UnwritableFileIsReported) {
    StartWithDevice("1");
    std::ofstream("locked.hex") << "old";
    std::filesystem::permissions("locked.hex", std::filesystem::perms::owner_read);
    for (const std::string name : {"no/such/dir/x.hex", "locked.hex"}) {  // the file and why
        Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / name).string()), 1});
        W().save();
        EXPECT_TRUE(Prompts.Messages.back().startsWith(QString::fromStdString("Can't open file\n" + (Dir / name).string() + ": ")));
    }
}

}  // namespace
}  // namespace pelk
