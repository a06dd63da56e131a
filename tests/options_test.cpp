/*
** The options dialog driven as a user drives it: typed fields, clicks and
** combo choices go through the dialog manager to the procedure on the
** dialog's thread, and the tables, the file and the messages are checked.
*/
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "global.h"
#include "config/config.h"
#include "helpers.h"
#include "discovery/ssdp.h"
#include "http/client.h"
#include "http/server.h"
#include "roku_channel.h"
#include "subs/text.h"
#include "subs/threads.h"
#include "subs/trace.h"
#include "ui/options.h"

namespace {

std::atomic<HWND> dialog{nullptr};

/* The dialog is handed to the test only once its procedure has filled it. */
intptr_t recording_proc(HWND w, unsigned msg, WPARAM wp, LPARAM lp)
{
    intptr_t r = get_option_p(w, msg, wp, lp);
    if (msg == PAL_WM_INITDIALOG) dialog = w;
    return r;
}

/* One user action, waited for: the empty message queued behind it is
** answered only after the action has run. */
void act(int id, pal_input what, const std::string &value = "")
{
    ASSERT_EQ(pal_user_input(200, id, what, value.c_str()), 0) << id;
    pal_send_message(dialog.load(), 0, 0, 0);
}

void type(int id, const std::string &text) { act(id, PAL_IN_TEXT, text); }
void click(int id) { act(id, PAL_IN_CLICK); }

std::string field(int id)
{
    char buf[1100];
    pal_get_dlg_item_text(dialog.load(), id, buf, sizeof buf);
    return buf;
}

class OptionsDialog : public TracedFolderTest {
protected:
    void SetUp() override
    {
        TracedFolderTest::SetUp();
        links.edit(Clear_Links), paths.edit(Clear_Links);
        IP_cnt = 1;
        IP_Select = 0;
        scopy(IP_Adrs[0], IP_TXT, "127.0.0.1");
        Save_Config = New_Title = 0;
    }

    /* Opens the dialog, runs user on another thread, then presses Update. */
    void run(const std::function<void()> &user)
    {
        dialog = nullptr;
        std::thread t([&] {
            while (!dialog.load()) pal_sleep(1);
            user();
            ASSERT_EQ(pal_user_input(200, IDC_UPDATE, PAL_IN_CLICK, ""), 0);
        });
        EXPECT_EQ(pal_dialog_box(&Options_Dialog, nullptr, recording_proc), 1);
        t.join();
    }

    std::vector<std::string> titles(void)
    {
        std::vector<std::string> out;
        const Link_View lk = links.now();
        for (int i = 0; i < MAX_LINKS && lk[i].link; i++) out.push_back(lk[i].link);
        return out;
    }

    std::string ini(void) { return read_file(Config_File()); }
    std::string alerts(void)
    {
        std::string t = read_file(dir + "/trace.txt"), out;
        for (size_t at = t.find("Alert 0 "); at != std::string::npos; at = t.find("Alert 0 ", at + 1))
            out += t.substr(at + 8, t.find('\n', at) - at - 8) + "|";
        return out;
    }
};

}  // namespace

TEST_F(OptionsDialog, TitlesStaySortedAndContiguous)
{
    run([] {
        for (auto [title, folder] : {std::pair{"My Movies", "/srv/movies/"}, {"Cartoons", "C:\\kids\\"},
                                     {"zoo", "/z"}, {"Bad=Title", "/b"}}) {
            type(IDC_TITLE, title);
            type(IDC_TITLE_PATH, folder);
            click(IDC_TITLE_ADD);
            /* A refused title stays in the field to be mended. */
            EXPECT_EQ(field(IDC_TITLE), strchr(title, '=') ? title : "Enter Title Name ");
        }
        /* Choosing a title shows its folder. */
        act(IDC_TITLE, PAL_IN_SELECT, "1");
        EXPECT_EQ(field(IDC_TITLE_PATH), "/srv/movies");
        type(IDC_TITLE, "My Movies");
        click(IDC_TITLE_DELETE);
    });
    EXPECT_EQ(titles(), (std::vector<std::string>{"Cartoons", "zoo"}));
    EXPECT_STREQ(links.now()[0].path, "C:/kids");
    EXPECT_EQ(links.now()[2].link, nullptr);
    EXPECT_EQ(alerts(), "Title Bar - A title can't hold \"=\" or start with \"[\" or \";\" !|");
    std::string file = ini();
    EXPECT_NE(file.find("[Links]\r\nCartoons=C:/kids\r\nzoo=/z\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("My Movies"), std::string::npos);
    EXPECT_EQ(New_Title.load(), 1);
}

TEST_F(OptionsDialog, PrivateFolders)
{
    struct step {
        const char *folder, *pin;
        int button;
        const char *alert;
    } steps[] = {
        {"D:/Kids/Movies", "12", IDC_PIN_ADD, ""},
        {"d:/kids", "1", IDC_PIN_ADD, "Folder exists !|"},
        {"", "1", IDC_PIN_ADD, "Missing path name !|"},
        {"E:/x", "", IDC_PIN_ADD, "Missing PIN Code !|"},
        {"D:/Kids/Movies", "99", IDC_PIN_DELETE, "Invalid PIN Code !|"},
        {"Q:/none", "1", IDC_PIN_DELETE, "Invalid Folder Name !|"},
        {"E:/Films", "7", IDC_PIN_ADD, ""},
        {"D:/Kids/Movies", "12", IDC_PIN_DELETE, ""},
    };
    run([&] {
        for (const step &s : steps) {
            std::string before = alerts();
            type(IDC_PIN_FOLDER, s.folder);
            type(IDC_PIN, s.pin);
            click(s.button);
            EXPECT_EQ(alerts().substr(before.size()), s.alert[0] ? "Private Folder - " + std::string(s.alert) : "")
                << s.folder << " " << s.button;
            if (!s.alert[0] || strstr(s.alert, "Missing") || strstr(s.alert, "PIN Code")) {
                EXPECT_EQ(field(IDC_PIN_FOLDER) + field(IDC_PIN), "Select Folder ");
            }
        }
    });
    std::vector<std::string> left;
    const Link_View pv = paths.now();
    for (int i = 0; i < MAX_LINKS; i++)
        if (pv[i].path) left.push_back(pv[i].path + std::string("=") + pv[i].link);
    EXPECT_EQ(left, std::vector<std::string>{"E:/Films=7"});
    /* Update wrote the change, so the channel sees it at once. */
    EXPECT_NE(ini().find("[Paths]\r\nE:/Films=7\r\n"), std::string::npos);
}

TEST_F(OptionsDialog, SettingsActAtOnceAndSaveOnlyWhenChanged)
{
    run([] {});
    EXPECT_EQ(ini(), "") << "nothing changed, nothing written";

    run([this] {
        EXPECT_EQ(field(IDC_IP), "127.0.0.1");
        /* A typed address joins the list and is chosen when the field is left;
        ** text that is no address puts the choice back. */
        type(IDC_IP, "10.1.2.3");
        act(IDC_IP, PAL_IN_BLUR);
        type(IDC_IP, "not an address");
        act(IDC_IP, PAL_IN_BLUR);
        EXPECT_EQ(field(IDC_IP), "10.1.2.3");
        type(IDC_NAME, std::string(60, 'n'));
        type(IDC_PORT, "8123");
        click(IDC_SS_SHUFFLE);
        /* The logs switch at once. */
        click(IDC_TRACE);
        EXPECT_EQ(TRA.load(), nullptr);
        click(IDC_TRACE);
        click(IDC_AUDIT);
        EXPECT_NE(AUD.load(), nullptr);
        EXPECT_EQ(Save_Config.load(), 1);
    });
    EXPECT_EQ((std::vector<long long>{IP_cnt, IP_Select, My_Port, SS_shuffle}), (std::vector<long long>{2, 1, 8123, 1}));
    EXPECT_EQ(std::string(Server_Name), std::string(39, 'n'));
    std::string file = ini();
    for (const char *line : {"IPadrs=10.1.2.3\r\n", "Port=8123\r\n", "SS_shuffle=1\r\n", "Audit=1\r\n"})
        EXPECT_NE(file.find(line), std::string::npos) << line;
    EXPECT_EQ(Save_Config.load(), 0);
    SS_shuffle = 0;
    My_Port = 0;
    IP_cnt = 1;
}

TEST_F(OptionsDialog, MusicTitleImportsItsLibrary)
{
    std::string lib = dir + "/Music";
    std::filesystem::create_directories(lib);
    std::filesystem::copy_file(VELMORA_SOURCE_DIR "/tests/data/itunes/sample.xml", lib + "/iTunes Music Library.xml");
    Active = 1;                /* a build runs while the server is started */
    run([&] {
        type(IDC_TITLE, "iTunes");
        type(IDC_TITLE_PATH, lib + "/");
        click(IDC_TITLE_ADD);
    });
    EXPECT_EQ(std::string(iTunes_Path), lib);
    EXPECT_TRUE(std::filesystem::exists(dir + "/iTunes Tables/links.txt"));
    Active = 0;
    iTunes_Path[0] = 0;
    iTunes_Time = 0;
}

/* The settings and lists changed while channels use them: titles, private
** folders, the name, the port, transcoding and the log switches edited while
** eight channels browse, search, fetch info texts and ranges and discovery
** runs.  Under ThreadSanitizer this finds a request reading a string that
** the dialog frees or writes. */
TEST_F(OptionsDialog, EditsWhileChannelsBrowseAndDiscoveryRuns)
{
    std::string movies = dir + "/Movies";
    std::filesystem::create_directories(movies + "/Kids");
    write_file(movies + "/a.mp3", std::string(1000, 'a'));
    write_file(movies + "/Film.mp4", std::string(2000, 'f'));
    write_file(Config_File(), "[Velmora]\r\nIPadrs=127.0.0.1\r\nPort=0\r\n[Links]\r\nMovies=" + movies + "\r\n");
    load_config();
    trace_off();   /* the trace's own lock would order the threads and hide a race */
    Job_Func saved[JOB_COUNT];
    std::copy(Jobs, Jobs + JOB_COUNT, saved);
    Jobs[JOB_SERVER] = [](int) { return server(); };
    Jobs[JOB_CLIENT] = client;
    Jobs[JOB_UPNP] = [](int) { return UPNP_Init(); };
    Idle_Seconds = 1000;   /* the accept loop looks at Active every second */
    My_Socket = 0;
    Active = 1;
    myfork(JOB_SERVER, 0);
    myfork(JOB_UPNP, 0);
    ASSERT_TRUE(eventually([] { return My_Socket.load() != 0; }));
    int port = My_Port;

    std::atomic<int> stop{0}, failures{0};
    std::vector<std::thread> channels;
    for (int c = 0; c < 8; c++)
        channels.emplace_back([&, c] {
            Channel ch;   /* eight players, each from an address of its own */
            ch.port = port;
            ch.source = "127.0.0." + std::to_string(10 + c);
            const std::string targets[] = {"/Roku/", "/Roku/Movies/", "/Roku/Movies/*.MP3", movies + "/a.mp3?info",
                                           "/Roku/Movies/Film.mp4", "/Roku/Roku_Config.txt", "/Roku/Movies/a.mp3"};
            for (int n = c; !stop; n++) {
                Channel_Answer a;
                bool range = n % 7 == 6;
                if (!ch.request("GET", targets[n % 7], a, range ? "Range: bytes=500-\r\n" : "") ||
                    a.status != (range ? 206 : 200))
                    failures++;
            }
        });
    run([&] {
        for (int round = 0; round < 6; round++) {
            std::string title = "T" + std::to_string(round);
            type(IDC_TITLE, title);
            type(IDC_TITLE_PATH, movies);
            click(IDC_TITLE_ADD);
            for (int button : {IDC_PIN_ADD, IDC_PIN_DELETE}) {
                type(IDC_PIN_FOLDER, movies + "/Kids");
                type(IDC_PIN, "12");
                click(button);
            }
            type(IDC_NAME, "Den " + title);
            type(IDC_PORT, std::to_string(port + round % 2));
            for (int box : {IDC_TRANSCODE, IDC_TRACE, IDC_AUDIT}) click(box);
            type(IDC_TITLE, title);
            click(IDC_TITLE_DELETE);
            pal_sleep(50);
        }
    });
    stop = 1;
    for (auto &t : channels) t.join();
    Active = 0;
    EXPECT_TRUE(eventually([] { return Threads_In_Use() == 0; }, 60));
    Idle_Seconds = 0;
    std::copy(saved, saved + JOB_COUNT, Jobs);
    EXPECT_EQ(failures.load(), 0);
    std::string file = ini();
    EXPECT_NE(file.find("Name=Den T5\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("[Links]\r\nMovies=" + movies + "\r\n"), std::string::npos) << file;
    EXPECT_EQ(titles(), std::vector<std::string>{"Movies"});
}

TEST(DialogInput, RefusesWhatNoControlTakes)
{
    static const pal_control controls[] = {
        {1, PAL_CTL_EDIT, "", 0, 0, 10, 10, PAL_ES_NUMBER, 3},
        {2, PAL_CTL_STATIC, "", 0, 0, 10, 10, 0, 0},
        {3, PAL_CTL_COMBO, "", 0, 0, 10, 10, PAL_CBS_SORT, 0},
    };
    static const pal_dialog_template t = {299, "t", "Arial", 10, 10, 10, controls, 3};
    std::thread user([] {
        while (pal_user_input(299, 99, PAL_IN_CLICK, "") == PAL_IN_NO_WINDOW) pal_sleep(1);
        EXPECT_EQ(pal_user_input(298, 1, PAL_IN_TEXT, "1"), PAL_IN_NO_WINDOW);
        EXPECT_EQ(pal_user_input(299, 9, PAL_IN_TEXT, "1"), PAL_IN_NO_CONTROL);
        EXPECT_EQ(pal_user_input(299, 1, PAL_IN_TEXT, "1a"), PAL_IN_BAD_VALUE);
        EXPECT_EQ(pal_user_input(299, 2, PAL_IN_CLICK, ""), PAL_IN_BAD_INPUT);
        EXPECT_EQ(pal_user_input(299, 3, PAL_IN_SELECT, "9"), PAL_IN_BAD_VALUE);
        EXPECT_EQ(pal_user_input(299, 0, PAL_IN_RESTORE, ""), PAL_IN_BAD_INPUT);
        EXPECT_EQ(pal_user_input(299, 1, PAL_IN_TEXT, "12345"), 0);
        EXPECT_EQ(pal_user_input(299, 0, PAL_IN_CLOSE, ""), 0);
    });
    auto proc = [](HWND w, unsigned msg, WPARAM, LPARAM) -> intptr_t {
        if (msg == PAL_WM_INITDIALOG) {
            for (const char *item : {"beta", "Alpha", "alpha2", "Gamma"}) pal_combo_add(w, 3, item);
            char buf[16];
            pal_combo_item(w, 3, 0, buf, sizeof buf);
            EXPECT_STREQ(buf, "Alpha");
            EXPECT_EQ(pal_combo_find(w, 3, "ALP"), 0);
            EXPECT_EQ(pal_combo_find(w, 3, "gam"), 3);
            EXPECT_EQ(pal_combo_find(w, 3, "delta"), -1);
        }
        if (msg == PAL_WM_CLOSE) {
            char buf[16];
            pal_get_dlg_item_text(w, 1, buf, sizeof buf);
            EXPECT_STREQ(buf, "123");   /* cut to the field's limit */
            pal_end_dialog(w, 7);
        }
        return 0;
    };
    EXPECT_EQ(pal_dialog_box(&t, nullptr, proc), 7);
    user.join();
}
