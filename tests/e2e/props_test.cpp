// fetch_props and put_props against the real program and its demo set, with a libtirpc client.
#include "demo_server.h"
#include "props_client.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace e2e;

namespace {

class PropsE2E : public DemoServerTest {
protected:
    static Handle login(Client &client) {
        Login l;
        EXPECT_EQ(RPC_SUCCESS, call_login(client, l));
        EXPECT_FALSE(l.failed) << l.error.message;
        return l.handle;
    }

    static clnt_stat fetch(Client &client, Fetch &f) { return call_fetch(client, f); }
};

} // namespace

TEST_F(PropsE2E, RecordTypePropertiesOfTheDemoSet) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch f;
    f.session = login(client);
    f.names = {"Defect"};
    f.props = {{1061, {}}, {515, {}}, {490, {}}, {636, {}}, {9999, {}}, {1061, {942, 943}}, {595, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, f));
    ASSERT_FALSE(f.failed) << f.error.message;
    EXPECT_EQ(f.entries, (std::vector<std::string>{"str:Defect", "bool:0", "bool:0", "empty:954", "unsupported",
                                                   "str:Defect unsupported", "empty:967"}));
}

// One call names at most 4096 properties: past that its arguments are undecodable, before any
// property is read, and the connection serves on.
TEST_F(PropsE2E, PropertyCountsAreBounded) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch f;
    f.session = login(client);
    f.names = {"Defect"};
    f.props.assign(4096, Prop{1061, {}});
    ASSERT_EQ(RPC_SUCCESS, fetch(client, f));
    ASSERT_FALSE(f.failed) << f.error.message;
    EXPECT_EQ(f.entries.size(), 4096u);
    Fetch past = f;
    past.entries.clear();
    past.props.push_back(Prop{1061, {}});
    EXPECT_EQ(RPC_CANTDECODEARGS, fetch(client, past));
    EXPECT_EQ(RPC_SUCCESS, client.ping());
}

TEST_F(PropsE2E, FetchesOnFourConnectionsAtOnceAndAfterAFailedOne) {
    {
        // libtirpc makes its shared null authenticator on first use without a lock: make it here.
        Client first(server_->port());
        ASSERT_EQ(RPC_SUCCESS, first.ping());
    }
    std::vector<std::thread> clients;
    std::vector<std::vector<std::string>> seen(4);
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            Client client(server_->port());
            if (!client.ok()) return;
            Handle session = login(client);
            for (int i = 0; i < 10; ++i) {
                // A target that does not exist fails the call; the connection goes on.
                Fetch missing;
                missing.session = session;
                missing.names = {"NoSuchType"};
                missing.props = {{1061, {}}};
                if (fetch(client, missing) != RPC_SUCCESS || !missing.failed || missing.error.reason == 0)
                    seen[t].push_back("no error");
                Fetch f;
                f.session = session;
                f.names = {i % 2 ? "AllIssues" : "Defect"};
                f.props = {{490, {}}, {516, {}}};
                if (fetch(client, f) != RPC_SUCCESS || f.failed) {
                    seen[t].push_back("failed");
                    continue;
                }
                seen[t].push_back(f.entries.at(0) + " " + f.entries.at(1));
            }
        });
    for (auto &c : clients) c.join();
    for (int t = 0; t < 4; ++t) {
        ASSERT_EQ(seen[t].size(), 10u) << t;
        for (int i = 0; i < 10; ++i) EXPECT_EQ(seen[t][i], i % 2 ? "bool:1 bool:0" : "bool:0 bool:1") << t << " " << i;
    }
}

TEST_F(PropsE2E, FieldDefinitionAndDynamicListValues) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch field;
    field.session = login(client);
    field.type = 35;
    field.names = {"Defect", "Severity"};
    field.props = {{723, {}}, {578, {}}, {355, {}}, {693, {}}, {531, {}}, {9999, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, field));
    ASSERT_FALSE(field.failed) << field.error.message;
    ASSERT_EQ(field.entries.size(), 6u);
    EXPECT_EQ(field.entries[0], "enum:914");
    EXPECT_EQ(field.entries[1], "str:Defect/Severity");
    EXPECT_EQ(field.entries[2], "[str:1-Critical,str:2-Major,str:3-Average,str:4-Minor]");
    EXPECT_EQ(field.entries[3], "empty:954");
    EXPECT_EQ(field.entries[5], "unsupported");

    Fetch list;
    list.session = field.session;
    list.type = 43;
    list.names = {"Platforms"};
    list.props = {{527, {}}, {1061, {}}, {488, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, list));
    ASSERT_FALSE(list.failed) << list.error.message;
    EXPECT_EQ(list.entries,
              (std::vector<std::string>{"[str:Linux,str:Windows,str:macOS]", "str:Platforms", "unsupported"}));
}

TEST_F(PropsE2E, AttachmentAndItsFolder) {
    Client client(server_->port());
    ASSERT_TRUE(client.ok());
    Fetch folder;
    folder.session = login(client);
    folder.type = 45;
    folder.names = {"Defect", "ISSUE00000001", "Attachments"};
    folder.props = {{1061, {}}, {578, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, folder));
    ASSERT_FALSE(folder.failed) << folder.error.message;
    EXPECT_EQ(folder.entries, (std::vector<std::string>{"str:Attachments", "str:Defect/ISSUE00000001/Attachments"}));

    Fetch one;
    one.session = folder.session;
    one.type = 44;
    one.names = {"Defect", "ISSUE00000001", "Attachments", "steps.txt"};
    one.props = {{447, {}}, {401, {}}, {594, {}}};
    ASSERT_EQ(RPC_SUCCESS, fetch(client, one));
    ASSERT_FALSE(one.failed) << one.error.message;
    ASSERT_EQ(one.entries.size(), 3u);
    EXPECT_EQ(one.entries[0], "str:steps.txt");
    EXPECT_EQ(one.entries[1], "str:");
    EXPECT_EQ(one.entries[2].rfind("res44:", 0), 0u) << one.entries[2];
}
