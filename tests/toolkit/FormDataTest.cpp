#include "platform/toolkit/FormData.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

enum TRate : uint8_t { rt110, rt9600, rt38400 };
enum TEv : uint8_t { evA, evB, evC };
using TEvs = TSet<TEv, uint8_t>;
using TCountEvent = std::function<void(TObject*, int)>;

std::vector<std::string> gLog;
int gAlive = 0;

class TFdParity : public TPersistent {
  public:
    std::string ClassName() const override { return "TFdParity"; }
    TRate Bits() const { return FBits; }
    void SetBits(TRate v) { FBits = v; }
    bool Check() const { return FCheck; }
    void SetCheck(bool v) { FCheck = v; }

  private:
    TRate FBits = rt110;
    bool FCheck = false;
};

class TFdPort : public TComponent {
  public:
    explicit TFdPort(TComponent* AOwner) : TComponent(AOwner) { ++gAlive; }
    ~TFdPort() override { --gAlive; }
    std::string ClassName() const override { return "TFdPort"; }
    static const TClassInfo& StaticClassInfo();

    TRate Rate() const { return FRate; }
    void SetRate(TRate v) {
        if (ComponentState().Contains(csLoading)) gLog.push_back(Name() + ".SetRate while loading");
        FRate = v;
    }
    int Size() const { return FSize; }
    void SetSize(int v) {
        if (v == 13) throw Exception("Size 13 refused");
        FSize = v;
    }
    bool Connected() const { return FConnected; }
    void SetConnected(bool v) { FConnected = v; }
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& v) { FPort = v; }
    char EventChar() const { return FEventChar; }
    void SetEventChar(char v) { FEventChar = v; }
    TEvs Events() const { return FEvents; }
    void SetEvents(TEvs v) { FEvents = v; }
    TFdParity* Parity() { return &FParity; }
    const TCountEvent& OnRx() const { return FOnRx; }
    void SetOnRx(TCountEvent v) { FOnRx = std::move(v); }

    void Loaded() override {
        TComponent::Loaded();
        // What a port does at the end of loading: it must see every stored value already.
        gLog.push_back(Name() + ".Loaded size=" + std::to_string(FSize) + " peer=" + PeerSize());
    }
    std::string PeerSize() const {
        if (!Owner()) return "-";
        for (int i = 0; i < Owner()->ComponentCount(); ++i) {
            auto* p = dynamic_cast<TFdPort*>(Owner()->Components(i));
            if (p && p != this) return std::to_string(p->FSize);
        }
        return "-";
    }

  private:
    TRate FRate = rt9600;
    int FSize = 1024;
    bool FConnected = false;
    std::string FPort = "COM1";
    char FEventChar = 0;
    TEvs FEvents{evA, evB, evC};
    TFdParity FParity;
    TCountEvent FOnRx;
};

class TFdForm : public TComponent {
  public:
    explicit TFdForm(TComponent* AOwner) : TComponent(AOwner) { ++gAlive; }
    ~TFdForm() override { --gAlive; }
    std::string ClassName() const override { return "TFdForm"; }
    void Loaded() override {
        TComponent::Loaded();
        gLog.push_back(Name() + ".Loaded");
    }
    void PortRx(TObject*, int Count) { Received += Count; }
    int Received = 0;
};

const TClassInfo& TFdPort::StaticClassInfo() {
    static const TClassInfo& info =
        TPublished<TFdPort>("TFdPort", "TComponent")
            .Enum("Rate", &TFdPort::Rate, &TFdPort::SetRate, {"rt110", "rt9600", "rt38400"}, Default(rt9600))
            .Integer("Size", &TFdPort::Size, &TFdPort::SetSize, Default(1024), 0, 65536)
            .Bool("Connected", &TFdPort::Connected, &TFdPort::SetConnected, Default(false))
            .String("Port", &TFdPort::Port, &TFdPort::SetPort, Always())
            .Char("EventChar", &TFdPort::EventChar, &TFdPort::SetEventChar, Default('\0'))
            .Set("Events", &TFdPort::Events, &TFdPort::SetEvents, {"evA", "evB", "evC"},
                 Default(TEvs{evA, evB, evC}))
            .Object("Parity", &TFdPort::Parity, "TFdParity")
            .Event<TCountEvent>("OnRx", &TFdPort::OnRx, &TFdPort::SetOnRx)
            .Register();
    return info;
}

void RegisterTestClasses() {
    TPublished<TComponent>("TComponent").Register();
    TPublished<TFdParity>("TFdParity")
        .Enum("Bits", &TFdParity::Bits, &TFdParity::SetBits, {"rt110", "rt9600", "rt38400"}, Default(rt110))
        .Bool("Check", &TFdParity::Check, &TFdParity::SetCheck, Default(false))
        .Register();
    TFdPort::StaticClassInfo();
    TPublished<TFdForm>("TFdForm", "TComponent")
        .Method<TCountEvent>("PortRx", [](TFdForm& f) { return [&f](TObject* s, int n) { f.PortRx(s, n); }; })
        .Method<TNotifyEvent>("WrongShape", [](TFdForm&) { return [](TObject*) {}; })
        .Register();
}

class FormData : public testing::Test {
  protected:
    void SetUp() override {
        RegisterTestClasses();
        gLog.clear();
        gAlive = 0;
    }
    // Runs a read that must fail and returns the error.
    EFormDataError ReadError(const std::string& Text) {
        TFdForm form(nullptr);
        try {
            ReadComponentData(form, Text);
        } catch (const EFormDataError& e) {
            EXPECT_FALSE(form.ComponentState().Contains(csLoading));
            EXPECT_EQ(form.ComponentCount(), 0) << "components of a failed read stay behind";
            return e;
        }
        ADD_FAILURE() << "no error for:\n" << Text;
        return EFormDataError("none", 0);
    }
};

} // namespace

TEST_F(FormData, WritesOnlyValuesThatDifferFromTheirDefaultOrAreAlwaysStored) {
    TFdForm form(nullptr);
    form.SetName("Form1");
    auto* port = new TFdPort(&form);
    port->SetName("ComPort1");
    std::string text = WriteComponent(form);
    EXPECT_EQ(text, "Form1: TFdForm {\n  ComPort1: TFdPort {\n    Port = \"COM1\"\n  }\n}\n");

    port->SetRate(rt38400);
    port->SetEvents(TEvs{evA, evC});
    port->Parity()->SetCheck(true);
    text = WriteComponent(form);
    EXPECT_NE(text.find("    Rate = rt38400\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    Events = [evA, evC]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    Parity.Check = true\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Size"), std::string::npos) << text;
    EXPECT_EQ(text.find("Parity.Bits"), std::string::npos) << text;
}

TEST_F(FormData, RoundTripKeepsEveryValueIncludingAwkwardBytes) {
    TFdForm form(nullptr);
    form.SetName("Form1");
    auto* port = new TFdPort(&form);
    port->SetName("ComPort1");
    port->SetRate(rt110);
    port->SetSize(0);
    port->SetConnected(true);
    static const char awkward[] = "a\"b\\c\n\0d \xF3 '#}";
    port->SetPort(std::string(awkward, sizeof awkward - 1));
    port->SetEventChar('\'');
    port->SetEvents(TEvs{});
    port->Parity()->SetBits(rt38400);
    std::string text = WriteComponent(form);

    TFdForm copy(nullptr);
    ReadComponentData(copy, text);
    auto* p = dynamic_cast<TFdPort*>(copy.FindComponent("ComPort1"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(copy.Name(), "Form1");
    EXPECT_EQ(p->Rate(), rt110);
    EXPECT_EQ(p->Size(), 0);
    EXPECT_TRUE(p->Connected());
    EXPECT_EQ(p->Port(), port->Port());
    EXPECT_EQ(p->Port().size(), 14u) << "the NUL byte and what follows it survive";
    EXPECT_EQ(p->EventChar(), '\'');
    EXPECT_TRUE(p->Events().Empty());
    EXPECT_EQ(p->Parity()->Bits(), rt38400);
    EXPECT_EQ(WriteComponent(copy), text);
}

TEST_F(FormData, ReadsWithEveryComponentLoadingThenCallsLoadedInCreationOrder) {
    TFdForm form(nullptr);
    ReadComponentData(form, "# a window\n"
                            "Form1: TFdForm {\n"
                            "  P1: TFdPort {\n"
                            "    Rate = rt110\n"
                            "    Size = 10\n"
                            "  }\n"
                            "  P2: TFdPort {\n"
                            "    Size = 20\n"
                            "    Rate = rt38400\n"
                            "  }\n"
                            "}\n");
    std::vector<std::string> want = {"P1.SetRate while loading", "P2.SetRate while loading", "Form1.Loaded",
                                     "P1.Loaded size=10 peer=20", "P2.Loaded size=20 peer=10"};
    EXPECT_EQ(gLog, want);
    for (int i = 0; i < form.ComponentCount(); ++i)
        EXPECT_FALSE(form.Components(i)->ComponentState().Contains(csLoading));
}

TEST_F(FormData, ReusesAComponentTheRootAlreadyOwnsByName) {
    TFdForm form(nullptr);
    auto* existing = new TFdPort(&form);
    existing->SetName("ComPort1");
    ReadComponentData(form, "Form1: TFdForm {\n  ComPort1: TFdPort {\n    Size = 7\n  }\n}\n");
    EXPECT_EQ(form.ComponentCount(), 1);
    EXPECT_EQ(existing->Size(), 7);
}

TEST_F(FormData, BindsEventsToTheRootsPublishedHandlersAndWritesThemBack) {
    TFdForm form(nullptr);
    std::string text =
        "Form1: TFdForm {\n  ComPort1: TFdPort {\n    Port = \"COM1\"\n    OnRx = PortRx\n  }\n}\n";
    ReadComponentData(form, text);
    auto* port = dynamic_cast<TFdPort*>(form.FindComponent("ComPort1"));
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->OnRx());
    port->OnRx()(port, 5);
    EXPECT_EQ(form.Received, 5);
    EXPECT_EQ(WriteComponent(form), text);
}

TEST_F(FormData, CreatesTheRootThroughTheClassRegistry) {
    std::unique_ptr<TComponent> root(ReadComponent("Form9: TFdForm {\n  X: TFdPort {\n  }\n}\n", nullptr));
    ASSERT_NE(dynamic_cast<TFdForm*>(root.get()), nullptr);
    EXPECT_EQ(root->Name(), "Form9");
    EXPECT_EQ(root->ComponentCount(), 1);
    root.reset();
    EXPECT_EQ(gAlive, 0);
}

TEST_F(FormData, ErrorsNameTheComponentThePropertyAndTheLine) {
    EFormDataError e = ReadError("Form1: TFdForm {\n  ComPort1: TFdPort {\n    Baud = rt110\n  }\n}\n");
    EXPECT_EQ(e.Line(), 3);
    EXPECT_EQ(e.ComponentName(), "ComPort1");
    EXPECT_EQ(e.PropertyName(), "Baud");
    std::string msg = e.what();
    EXPECT_NE(msg.find("line 3"), std::string::npos) << msg;
    EXPECT_NE(msg.find("ComPort1"), std::string::npos) << msg;
    EXPECT_NE(msg.find("Baud"), std::string::npos) << msg;
    EXPECT_EQ(gAlive, 0) << "the port this read created is deleted again";
}

TEST_F(FormData, BadValuesAreRefusedWithTheirLine) {
    struct Case {
        const char* Line;
        const char* Expect;
    };
    const Case cases[] = {
        {"Rate = rt115200", "not a member"},
        {"Rate = 3", "member name"},
        {"Size = 65537", "out of range"},
        {"Size = -1", "out of range"},
        {"Size = 99999999999999999999", "out of range"},
        {"Size = 12abc", "not a number"},
        {"Size = \"12\"", "integer"},
        {"Connected = yes", "true or false"},
        {"Events = [evA, evX]", "not a member"},
        {"Events = evA", "set"},
        {"Port = COM1", "quoted"},
        {"Port = \"COM1", "unterminated"},
        {"Port = \"a\\q\"", "escape"},
        {"EventChar = 'ab'", "exactly one"},
        {"Parity = rt110", "an object"},
        {"Parity.Nope = true", "unknown"},
        {"Size.X = 1", "no sub-properties"},
        {"OnRx = Missing", "no handler"},
        {"OnRx = WrongShape", "does not fit"},
        {"Size = 13", "Size 13 refused"},
        {"Size = 5 6", "unexpected text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        EFormDataError e =
            ReadError(std::string("Form1: TFdForm {\n  P: TFdPort {\n    ") + c.Line + "\n  }\n}\n");
        EXPECT_EQ(e.Line(), 3);
        EXPECT_NE(std::string(e.what()).find(c.Expect), std::string::npos) << e.what();
    }
}

TEST_F(FormData, AnIntegerNeverWidensPastItsPropertysOwnType) {
    struct TNarrow : TComponent {
        using TComponent::TComponent;
        std::string ClassName() const override { return "TFdNarrow"; }
        uint8_t Small = 0;
        int16_t Signed = 0;
    };
    TPublished<TNarrow>("TFdNarrow", "TComponent")
        .Integer(
            "Small", [](const TNarrow& n) { return n.Small; }, [](TNarrow& n, uint8_t v) { n.Small = v; })
        .Integer(
            "Signed", [](const TNarrow& n) { return n.Signed; }, [](TNarrow& n, int16_t v) { n.Signed = v; })
        .Register();
    TFdForm form(nullptr);
    ReadComponentData(form, "F: TFdForm {\n  N: TFdNarrow {\n    Small = 255\n    Signed = -32768\n  }\n}\n");
    auto* n = dynamic_cast<TNarrow*>(form.FindComponent("N"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Small, 255);
    EXPECT_EQ(n->Signed, -32768);
    for (const char* tooWide : {"Small = 256", "Signed = 40000"}) {
        std::string msg =
            ReadError(std::string("F: TFdForm {\n  N: TFdNarrow {\n    ") + tooWide + "\n  }\n}\n").what();
        EXPECT_NE(msg.find("out of range"), std::string::npos) << msg;
    }
}

TEST_F(FormData, MalformedStructureIsRefused) {
    EXPECT_EQ(ReadError("Form1: TFdForm {\n  P: TFdPort {\n").Line(), 2);         // never closed
    EXPECT_EQ(ReadError("Form1: TFdForm {\n}\n}\n").Line(), 3);                   // one '}' too many
    EXPECT_EQ(ReadError("Form1: TFdForm {\n  P: TNoSuch {\n  }\n}\n").Line(), 2); // unknown class
    EXPECT_EQ(ReadError("Form1: TFdPort {\n}\n").Line(), 1);                      // not this root's class
    EXPECT_EQ(ReadError("Size = 1\n").Line(), 1);                                 // outside any object
    EXPECT_EQ(ReadError("").Line(), 0);
    EXPECT_EQ(ReadError("Form1: TFdForm {\n  A: TFdPort {\n  }\n  a: TFdPort {\n  }\n}\n").Line(),
              4); // same name
    std::string deep = "Form1: TFdForm {\n";
    for (int i = 0; i < 100; ++i)
        deep += "  X" + std::to_string(i) + ": TFdPort {\n";
    EXPECT_GT(ReadError(deep).Line(), 1);
}

TEST_F(FormData, LoadedRunsEvenWhenAnEarlierLoadedFailsAndTheErrorStillArrives) {
    struct TFailing : TFdPort {
        using TFdPort::TFdPort;
        std::string ClassName() const override { return "TFdFailing"; }
        void Loaded() override {
            TFdPort::Loaded();
            throw Exception("cannot open");
        }
    };
    TPublished<TFailing>("TFdFailing", "TFdPort").Register();
    TFdForm form(nullptr);
    EXPECT_THROW(ReadComponentData(form, "F: TFdForm {\n  A: TFdFailing {\n  }\n  B: TFdPort {\n  }\n}\n"),
                 Exception);
    ASSERT_EQ(form.ComponentCount(), 2);
    EXPECT_FALSE(form.Components(0)->ComponentState().Contains(csLoading));
    EXPECT_FALSE(form.Components(1)->ComponentState().Contains(csLoading));
    EXPECT_EQ(gLog.back(), "B.Loaded size=1024 peer=1024");
}
