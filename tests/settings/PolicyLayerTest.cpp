// Fleet policy as an options object sees it: machine policy over user policy
// over the settings files over the registry, the locks on policy values, and
// what the diagnostics and IVeskaOptionsPolicy report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "tests/options/OptionsTestSupport.h"

namespace veska {
namespace {

using test::Bstr;

class Policy : public test::OptionsTest {
protected:
    test::InstallationInfoStandIn installation_{L"C:\\Veska Install"};
    test::SettingsLayout layout_;
    test::ScratchPolicy policy_{scratch};

    // The five cells of GetValueOrigin joined by "|", "fail" when it fails.
    std::wstring Origin(const std::wstring& path, const std::wstring& name) {
        ComPtr<IVeskaOptionsDiagnostics> diagnostics;
        EXPECT_EQ(opts->QueryInterface(__uuidof(IVeskaOptionsDiagnostics), diagnostics.put_void()), S_OK);
        UniqueVariant origin;
        if (FAILED(diagnostics->GetValueOrigin(Bstr(path), Bstr(name), origin.put()))) return L"fail";
        std::wstring text;
        for (LONG i = 0; i < 5; ++i) {
            UniqueVariant cell;
            ::SafeArrayGetElement(origin.get()->parray, &i, cell.get());
            text += (i != 0 ? L"|" : L"") + test::RenderVariant(*cell.get()).substr(2);
        }
        return text;
    }
    // The names of the keys and values below the scratch key, one a line.
    std::wstring RegistryNames() {
        std::wstring names;
        const std::wstring snapshot = test::Snapshot(HKEY_CURRENT_USER, Reg());
        for (std::size_t at = 0; at < snapshot.size();) {
            const std::size_t end = snapshot.find(L'\n', at);
            const std::wstring line = snapshot.substr(at, end - at);
            names += line.substr(0, line.find(L" type=")) + L" ";
            at = end + 1;
        }
        return names;
    }
};

// Every combination of the four sources, one value name each ("v" and the
// mask's bits: 8 machine policy, 4 user policy, 2 file, 1 registry): the highest
// present wins, and the origin says which and whether it hid a registry value.
TEST_F(Policy, PrecedenceOfMachineUserFileAndRegistry) {
    test::CompanionRegistration companion;
    std::string file;
    for (int mask = 1; mask < 16; ++mask) {
        const std::wstring name = L"v" + std::to_wstring(mask);
        if (mask & 8) test::SetDword(HKEY_LOCAL_MACHINE, policy_.PathOf(L"K"), name.c_str(), 8);
        if (mask & 4) test::SetDword(HKEY_CURRENT_USER, policy_.PathOf(L"K"), name.c_str(), 4);
        if (mask & 2) file += "<Value Name='v" + std::to_string(mask) + "' Type='I4'>2</Value>";
        if (mask & 1) test::SetDword(HKEY_CURRENT_USER, Reg(L"K"), name.c_str(), 1);
    }
    layout_.AddFile(L"defaults.xml", test::SettingsXml("<Key Name='K'>" + file + "</Key>"));
    ASSERT_EQ(Init(), S_OK);
    const std::wstring registry = L"HKEY_CURRENT_USER\\" + Reg(L"K");
    const struct {
        int winner;
        std::wstring kind;
        std::wstring source;
    } sources[] = {
        {8, L"5", L"HKEY_LOCAL_MACHINE\\" + policy_.PathOf(L"K")},
        {4, L"6", L"HKEY_CURRENT_USER\\" + policy_.PathOf(L"K")},
        {2, L"2", layout_.SettingsFolder() + L"defaults.xml"},
        {1, L"1", registry},
    };
    for (int mask = 1; mask < 16; ++mask) {
        SCOPED_TRACE(mask);
        const std::wstring name = L"v" + std::to_wstring(mask);
        int source = 0;
        while ((mask & sources[source].winner) == 0) ++source;
        const auto& won = sources[source];
        EXPECT_EQ(Value(L"K", name), L"3:" + std::to_wstring(won.winner));
        const std::wstring line = won.winner == 2 ? L"2" : L"0";
        const bool hidRegistry = won.winner != 1 && (mask & 1) != 0;
        EXPECT_EQ(Origin(L"K", name),
                  won.kind + L"|" + won.source + L"|" + line + L"|" + (hidRegistry ? registry : L"") + L"|");
    }
    EXPECT_EQ(Value(L"K", L"v0"), L"fail");
}

// Locked values refuse writes and removals; operations over a subtree with
// locked values change what is not locked and say S_FALSE. Each row on a fresh
// object: K holds a machine-locked value over the registry's and a free one,
// K\Sub a free value, the free key Loose and the key Deep that only user
// policy makes.
TEST_F(Policy, LockedValuesRefuseChangesAndSubtreeOperationsSpareThem) {
    using Op = std::function<HRESULT(IVeskaOptions3*)>;
    const std::wstring all = L"k\\ k\\free=3:2 k\\locked=3:7 k\\other\\ k\\other\\x=3:3 k\\sub\\ "
                             L"k\\sub\\y=3:4 k\\sub\\deep\\ k\\sub\\deep\\u=3:8 k\\sub\\loose\\ k\\sub\\loose\\z=3:5 ";
    const std::wstring allRegistry = L"K\\ K\\@Free K\\@Locked K\\Other\\ K\\Other\\@x K\\Sub\\ K\\Sub\\@y K\\Sub\\Loose\\ K\\Sub\\Loose\\@z ";
    const struct {
        const char* what;
        Op op;
        HRESULT hr;
        std::wstring cache;     // ReadOut without the dirty flag, "=" for all
        std::wstring registry;  // RegistryNames, "=" for allRegistry
    } cases[] = {
        {"write locked", [](IVeskaOptions3* o) { return o->SetValueByName(Bstr(L"K"), Bstr(L"LOCKED"), test::I4(9).get(), 1, 1); },
         E_ACCESSDENIED, L"=", L"="},
        {"write free", [](IVeskaOptions3* o) { return o->SetValueByName(Bstr(L"K"), Bstr(L"Free"), test::I4(9).get(), 0, 1); },
         S_OK, L"k\\ k\\free=3:9 k\\locked=3:7 k\\other\\ k\\other\\x=3:3 k\\sub\\ k\\sub\\y=3:4 k\\sub\\deep\\ k\\sub\\deep\\u=3:8 k\\sub\\loose\\ k\\sub\\loose\\z=3:5 ", L"="},
        {"add locked", [](IVeskaOptions3* o) { return o->AddValueByName(Bstr(L"K\\Sub\\Deep"), Bstr(L"u"), test::I4(9).get(), 1); },
         E_ACCESSDENIED, L"=", L"="},
        {"remove locked", [](IVeskaOptions3* o) { return o->RemoveValueByName(Bstr(L"K"), Bstr(L"Locked"), 1); },
         E_ACCESSDENIED, L"=", L"="},
        {"remove values beside a locked one", [](IVeskaOptions3* o) { return o->RemoveValues(Bstr(L"K"), 1); },
         E_ACCESSDENIED, L"=", L"="},
        {"remove values of a free key", [](IVeskaOptions3* o) { return o->RemoveValues(Bstr(L"K\\Sub"), 1); },
         S_OK, L"k\\ k\\free=3:2 k\\locked=3:7 k\\other\\ k\\other\\x=3:3 k\\sub\\ k\\sub\\deep\\ k\\sub\\deep\\u=3:8 k\\sub\\loose\\ k\\sub\\loose\\z=3:5 ",
         L"K\\ K\\@Free K\\@Locked K\\Other\\ K\\Other\\@x K\\Sub\\ K\\Sub\\Loose\\ K\\Sub\\Loose\\@z "},
        {"set values beside a locked one", [](IVeskaOptions3* o) { return o->SetValues(Bstr(L"K"), nullptr, 1); },
         E_ACCESSDENIED, L"=", L"="},
        {"set values of a free key", [](IVeskaOptions3* o) { return o->SetValues(Bstr(L"K\\Sub"), nullptr, 1); },
         S_OK, L"=", L"="},
        {"set keys over locked values", [](IVeskaOptions3* o) { return o->SetKeys(Bstr(L"K\\Sub"), nullptr, 1); },
         S_FALSE, L"=", L"="},
        {"set keys of a free key", [](IVeskaOptions3* o) { return o->SetKeys(Bstr(L"K\\Other"), nullptr, 1); },
         S_OK, L"=", L"="},
        {"remove a key over locked values", [](IVeskaOptions3* o) { return o->RemoveKey(Bstr(L"K\\Sub"), 1); },
         S_FALSE, L"k\\ k\\free=3:2 k\\locked=3:7 k\\other\\ k\\other\\x=3:3 k\\sub\\ k\\sub\\deep\\ k\\sub\\deep\\u=3:8 ",
         L"K\\ K\\@Free K\\@Locked K\\Other\\ K\\Other\\@x K\\Sub\\ "},
        {"remove a free key", [](IVeskaOptions3* o) { return o->RemoveKey(Bstr(L"K\\Other"), 1); },
         S_OK, L"k\\ k\\free=3:2 k\\locked=3:7 k\\sub\\ k\\sub\\y=3:4 k\\sub\\deep\\ k\\sub\\deep\\u=3:8 k\\sub\\loose\\ k\\sub\\loose\\z=3:5 ",
         L"K\\ K\\@Free K\\@Locked K\\Sub\\ K\\Sub\\@y K\\Sub\\Loose\\ K\\Sub\\Loose\\@z "},
        {"remove a key over locked values, cache only", [](IVeskaOptions3* o) { return o->RemoveKey(Bstr(L"K\\Sub"), 0); },
         S_FALSE, L"k\\ k\\free=3:2 k\\locked=3:7 k\\other\\ k\\other\\x=3:3 k\\sub\\ k\\sub\\deep\\ k\\sub\\deep\\u=3:8 ", L"="},
    };
    test::SetDword(HKEY_LOCAL_MACHINE, policy_.PathOf(L"K"), L"Locked", 7);
    test::SetDword(HKEY_CURRENT_USER, policy_.PathOf(L"K\\Sub\\Deep"), L"u", 8);
    const std::wstring policyBefore = test::Snapshot(HKEY_LOCAL_MACHINE, policy_.Path()) +
                                      test::Snapshot(HKEY_CURRENT_USER, policy_.Path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::DeleteTree(HKEY_CURRENT_USER, Reg(L"K"));
        test::SetDword(HKEY_CURRENT_USER, Reg(L"K"), L"Locked", 1);
        test::SetDword(HKEY_CURRENT_USER, Reg(L"K"), L"Free", 2);
        test::SetDword(HKEY_CURRENT_USER, Reg(L"K\\Other"), L"x", 3);
        test::SetDword(HKEY_CURRENT_USER, Reg(L"K\\Sub"), L"y", 4);
        test::SetDword(HKEY_CURRENT_USER, Reg(L"K\\Sub\\Loose"), L"z", 5);
        opts = NewOptions();
        ASSERT_EQ(Init(), S_OK);
        EXPECT_EQ(c.op(opts.get()), c.hr);
        std::wstring cache;
        for (const std::wstring& line : test::ReadOut(opts.get())) {
            if (line.rfind(L"dirty=", 0) != 0) cache += line + L" ";
        }
        EXPECT_EQ(cache, c.cache == L"=" ? all : c.cache);
        EXPECT_EQ(RegistryNames(), c.registry == L"=" ? allRegistry : c.registry);
    }
    // What the last row removed from the cache alone stays removed when the
    // key above it changes at its source: only the new value arrives.
    test::SetDword(HKEY_CURRENT_USER, Reg(L"K\\Sub"), L"Added", 6);
    LONG changed = -1;
    EXPECT_EQ(ComPtr<IVeskaOptions3>::CopyOf(opts.get()).try_query<IVeskaOptionsLive>()->Refresh(&changed), S_OK);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(Value(L"K\\Sub", L"y"), L"fail");
    EXPECT_EQ(Value(L"K\\Sub\\Loose", L"z"), L"fail");
    EXPECT_EQ(test::Snapshot(HKEY_LOCAL_MACHINE, policy_.Path()) +
                  test::Snapshot(HKEY_CURRENT_USER, policy_.Path()),
              policyBefore)
        << "nothing writes below the policy keys";
}

// IVeskaOptionsPolicy, the origin of a key only policy makes, and the counts.
TEST_F(Policy, LocksRootAndCounts) {
    test::SetDword(HKEY_CURRENT_USER, Reg(L"K"), L"Free", 1);
    test::SetDword(HKEY_CURRENT_USER, Reg(L"K"), L"Locked", 1);
    test::SetDword(HKEY_LOCAL_MACHINE, policy_.PathOf(L"K"), L"Locked", 7);
    test::SetString(HKEY_CURRENT_USER, policy_.PathOf(L"K"), L"Locked", L"user");
    test::SetString(HKEY_CURRENT_USER, policy_.PathOf(L"P"), L"Only", L"policy");
    ASSERT_EQ(Init(), S_OK);
    auto locks = ComPtr<IVeskaOptions3>::CopyOf(opts.get()).try_query<IVeskaOptionsPolicy>();
    auto diagnostics = ComPtr<IVeskaOptions3>::CopyOf(opts.get()).try_query<IVeskaOptionsDiagnostics>();
    ASSERT_TRUE(locks && diagnostics);
    LONG locked = -1, overridden = -1, values = -1, keys = -1;
    UniqueBstr root;
    EXPECT_EQ(locks->get_PolicyRoot(root.put()), S_OK);
    EXPECT_EQ(std::wstring(root.get()), policy_.Path());
    const struct {
        const wchar_t* path;
        const wchar_t* name;
        VARIANT_BOOL locked;
    } cases[] = {
        {L"K", L"locked", VARIANT_TRUE}, {L"P", L"ONLY", VARIANT_TRUE}, {L"K", L"Free", VARIANT_FALSE},
        {L"K", L"Missing", VARIANT_FALSE}, {L"Nowhere", L"Locked", VARIANT_FALSE},
    };
    for (const auto& c : cases) {
        VARIANT_BOOL answer = 7;
        EXPECT_EQ(locks->IsLocked(Bstr(c.path), Bstr(c.name), &answer), S_OK);
        EXPECT_EQ(answer, c.locked) << c.path << L"\\" << c.name;
    }
    EXPECT_EQ(Origin(L"P", L"Only"), L"6|HKEY_CURRENT_USER\\" + policy_.PathOf(L"P") + L"|0||");
    EXPECT_EQ(locks->get_LockedCount(&locked), S_OK);
    EXPECT_EQ(diagnostics->get_OverriddenCount(&overridden), S_OK);
    EXPECT_EQ(diagnostics->get_ValueCount(&values), S_OK);
    EXPECT_EQ(diagnostics->get_KeyCount(&keys), S_OK);
    EXPECT_EQ(locked, 2) << "K\\Locked (machine over user) and P\\Only";
    EXPECT_EQ(overridden, 2);
    EXPECT_EQ(values, 3);
    EXPECT_EQ(keys, 2) << "K and the key only policy makes";

    // Before Init every member fails and leaves its answer cleared.
    ComPtr<IVeskaOptions3> fresh = NewOptions();
    auto early = ComPtr<IVeskaOptions3>::CopyOf(fresh.get()).try_query<IVeskaOptionsPolicy>();
    VARIANT_BOOL answer = 7;
    EXPECT_EQ(early->IsLocked(Bstr(L"K"), Bstr(L"Locked"), &answer), E_FAIL);
    EXPECT_EQ(answer, VARIANT_FALSE);
    EXPECT_EQ(early->get_PolicyRoot(root.put()), E_FAIL);
    EXPECT_EQ(root.get(), nullptr);
    EXPECT_EQ(early->get_LockedCount(&locked), E_FAIL);
}

}  // namespace
}  // namespace veska
