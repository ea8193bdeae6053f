// A record form as an FRM document through fetch_props, read with a libtirpc client and checked by
// xmllint.
#include "demo_server.h"
#include "props_client.h"
#include "server_process.h"
#include "support/command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;

namespace {

class FormsE2E : public DemoServerTest {
protected:
    // Property 455 of Defect_Base with the form's name, fetched as `user`; the document is kept
    // in a file for xmllint.
    void fetch_form(Client &client, std::string const &user) {
        Login login;
        login.user = user;
        ASSERT_EQ(RPC_SUCCESS, call_login(client, login));
        ASSERT_FALSE(login.failed) << login.error.message;
        Fetch f;
        f.session = login.handle;
        f.type = 41;
        f.names = {"Defect", "Defect_Base"};
        f.props = {{578, {}}, {455, {}}};
        ASSERT_EQ(RPC_SUCCESS, call_fetch(client, f));
        ASSERT_FALSE(f.failed) << f.error.message;
        ASSERT_EQ(f.entries.size(), 2u);
        EXPECT_EQ(f.entries[0], "str:Defect/Defect_Base");
        ASSERT_EQ(f.entries[1].rfind("xml:", 0), 0u) << f.entries[1];
        doc_ = dir_.file(user + ".xml");
        write_file(doc_, f.entries[1].substr(4));
    }
    std::string xpath(std::string const &expression) {
        std::string out = kxtest::command_output("xmllint --xpath \"" + expression + "\" " + doc_ + " 2>&1", "xmllint");
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    std::string doc_;
};

std::string const kPages = "/*/*[local-name()='mFormPage']";

} // namespace

TEST_F(FormsE2E, DefectFormComesBackAsOneDocumentWithThePagesTheUserMaySee) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    struct Case {
        std::string user, pages;
    } const cases[] = {{"alice", "3"}, {"admin", "4"}};
    for (Case const &c : cases) {
        fetch_form(client, c.user);
        ASSERT_EQ(kxtest::command_output("xmllint --noout " + doc_ + " 2>&1", "xmllint"), "");
        EXPECT_EQ(xpath("namespace-uri(/*)"), "http://korvax.example/TEAM/FORM");
        EXPECT_EQ(xpath("local-name(/*)"), "mForm");
        EXPECT_EQ(xpath("count(" + kPages + ")"), c.pages) << c.user;
        // First row: the title label (no tab order); then Headline, the first field item.
        std::string const first = kPages + "[1]/*[local-name()='mFormItem'][1]";
        EXPECT_EQ(xpath("string(" + first + "/@*[local-name()='name'])"), "Title");
        EXPECT_EQ(xpath("count(" + first + "/*[local-name()='tabOrder'])"), "0");
        std::string const second = kPages + "[1]/*[local-name()='mFormItem'][2]";
        EXPECT_EQ(xpath("string(" + second + "/*[local-name()='tabOrder'])"), "1");
    }
}
