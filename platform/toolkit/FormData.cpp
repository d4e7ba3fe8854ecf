#include "platform/toolkit/FormData.h"
#include "platform/toolkit/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <mutex>

namespace {

std::string LowerCase(std::string_view s) {
    std::string r(s);
    std::transform(r.begin(), r.end(), r.begin(), LowerAscii);
    return r;
}

struct TRegistry {
    std::mutex Lock;
    std::map<std::string, std::unique_ptr<TClassInfo>> Classes; // keyed by lower-case name
};

TRegistry& Registry() {
    static TRegistry r;
    return r;
}

bool IsIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// ---- parsed form ----

enum TValueKind { vkInteger, vkIdent, vkSet, vkString, vkChar };

struct TValue {
    TValueKind Kind = vkInteger;
    int64_t Int = 0;
    std::string Text;                 // identifier, string or char (one byte)
    std::vector<std::string> Members; // set
};

struct TPropLine {
    std::string Path;
    TValue Value;
    int Line = 0;
};

struct TNode {
    std::string Name, Class;
    int Line = 0;
    std::vector<TPropLine> Props;
    std::vector<TNode> Children;
};

constexpr int MaxDepth = 64;

class TLineParser {
  public:
    TLineParser(std::string_view Text, int Line) : FText(Text), FLine(Line) {}

    void SkipBlanks() {
        while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t'))
            ++FPos;
    }
    bool AtEnd() {
        SkipBlanks();
        return FPos >= FText.size() || FText[FPos] == '#';
    }
    bool Peek(char c) {
        SkipBlanks();
        return FPos < FText.size() && FText[FPos] == c;
    }
    void Expect(char c, const char* What) {
        if (!Peek(c)) Fail(std::string("expected ") + What);
        ++FPos;
    }
    std::string Ident() {
        SkipBlanks();
        size_t start = FPos;
        if (FPos >= FText.size() || !IsIdentStart(FText[FPos])) Fail("expected a name");
        while (FPos < FText.size() && IsIdentChar(FText[FPos]))
            ++FPos;
        return std::string(FText.substr(start, FPos - start));
    }
    std::string DottedIdent() {
        std::string s = Ident();
        while (FPos < FText.size() && FText[FPos] == '.') {
            ++FPos;
            s += '.';
            s += Ident();
        }
        return s;
    }
    TValue Value() {
        SkipBlanks();
        if (FPos >= FText.size()) Fail("missing value");
        char c = FText[FPos];
        TValue v;
        if (c == '"') {
            v.Kind = vkString;
            v.Text = Quoted('"');
        } else if (c == '\'') {
            v.Kind = vkChar;
            v.Text = Quoted('\'');
            if (v.Text.size() != 1) Fail("a character value holds exactly one character");
        } else if (c == '[') {
            v.Kind = vkSet;
            ++FPos;
            if (!Peek(']')) {
                for (;;) {
                    v.Members.push_back(Ident());
                    if (Peek(']')) break;
                    Expect(',', "',' or ']'");
                }
            }
            Expect(']', "']'");
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            v.Kind = vkInteger;
            size_t start = FPos;
            if (c == '-') ++FPos;
            while (FPos < FText.size() && IsIdentChar(FText[FPos]))
                ++FPos;
            std::string_view num = FText.substr(start, FPos - start);
            bool neg = !num.empty() && num[0] == '-';
            std::string_view digits = neg ? num.substr(1) : num;
            int base = 10;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
                base = 16;
                digits.remove_prefix(2);
            }
            uint64_t mag = 0;
            auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), mag, base);
            if (ec == std::errc::result_out_of_range) Fail("\"" + std::string(num) + "\" is out of range");
            if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size())
                Fail("\"" + std::string(num) + "\" is not a number");
            if (mag > (neg ? uint64_t{1} << 63 : uint64_t{INT64_MAX}))
                Fail("\"" + std::string(num) + "\" is out of range");
            v.Int = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
        } else if (IsIdentStart(c)) {
            v.Kind = vkIdent;
            v.Text = Ident();
        } else {
            Fail(std::string("unexpected character '") + c + "'");
        }
        return v;
    }
    void EndOfLine() {
        if (!AtEnd()) Fail("unexpected text \"" + std::string(FText.substr(FPos)) + "\"");
    }
    [[noreturn]] void Fail(const std::string& Msg) const { throw EFormDataError(Msg, FLine); }

  private:
    std::string Quoted(char q) {
        ++FPos;
        std::string out;
        for (;;) {
            if (FPos >= FText.size()) Fail("unterminated text");
            char c = FText[FPos++];
            if (c == q) return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (FPos >= FText.size()) Fail("unterminated text");
            char e = FText[FPos++];
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case '\'':
                out += '\'';
                break;
            case 'x': {
                unsigned value = 0;
                if (FPos + 2 > FText.size()) Fail("\\x needs two hex digits");
                auto [p, ec] = std::from_chars(FText.data() + FPos, FText.data() + FPos + 2, value, 16);
                if (ec != std::errc() || p != FText.data() + FPos + 2) Fail("\\x needs two hex digits");
                FPos += 2;
                out += static_cast<char>(value);
                break;
            }
            default:
                Fail(std::string("unknown escape \\") + e);
            }
        }
    }

    std::string_view FText;
    size_t FPos = 0;
    int FLine;
};

TNode Parse(std::string_view Text) {
    std::vector<TNode> roots;
    std::vector<TNode*> stack;
    int line = 0;
    size_t pos = 0;
    while (pos <= Text.size()) {
        size_t eol = Text.find('\n', pos);
        if (eol == std::string_view::npos) eol = Text.size();
        std::string_view raw = Text.substr(pos, eol - pos);
        pos = eol + 1;
        ++line;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        if (raw.find('\0') != std::string_view::npos) throw EFormDataError("NUL byte in form data", line);
        TLineParser p(raw, line);
        if (p.AtEnd()) continue;
        if (p.Peek('}')) {
            p.Expect('}', "'}'");
            p.EndOfLine();
            if (stack.empty()) throw EFormDataError("'}' without an open object", line);
            stack.pop_back();
            continue;
        }
        // "Name: Class {", "Name.Sub = value" or ": Class {" for an unnamed component.
        std::string first;
        if (!p.Peek(':')) first = p.DottedIdent();
        if (p.Peek(':')) {
            p.Expect(':', "':'");
            TNode node;
            if (first.find('.') != std::string::npos)
                throw EFormDataError("\"" + first + "\" is not a component name", line);
            node.Name = first;
            node.Class = p.Ident();
            node.Line = line;
            p.Expect('{', "'{'");
            p.EndOfLine();
            if (stack.empty()) {
                if (!roots.empty())
                    throw EFormDataError("form data holds more than one top-level object", line);
                roots.push_back(std::move(node));
                stack.push_back(&roots.back());
            } else {
                if (static_cast<int>(stack.size()) >= MaxDepth)
                    throw EFormDataError("objects nested too deeply", line);
                stack.back()->Children.push_back(std::move(node));
                stack.push_back(&stack.back()->Children.back());
            }
            continue;
        }
        if (stack.empty()) throw EFormDataError("property outside an object", line);
        TPropLine prop;
        prop.Path = first;
        prop.Line = line;
        p.Expect('=', "'=' or ':'");
        prop.Value = p.Value();
        p.EndOfLine();
        stack.back()->Props.push_back(std::move(prop));
    }
    if (!stack.empty())
        throw EFormDataError("object \"" + stack.back()->Name + "\" is not closed with '}'",
                             stack.back()->Line, stack.back()->Name);
    if (roots.empty()) throw EFormDataError("form data holds no object", 0);
    return std::move(roots.front());
}

// ---- applying ----

// The component a stored reference names, as seen from Comp: Comp's owner and the components it
// owns first (unless Comp is the root, whose owner lies outside the form), then the root and the
// components it owns. Null when the name is empty or unknown.
TComponent* ResolveReference(const TComponent& Comp, const TComponent& Root, const std::string& Name) {
    if (Name.empty()) return nullptr;
    for (TComponent* scope : {&Comp == &Root ? nullptr : Comp.Owner(), const_cast<TComponent*>(&Root)}) {
        if (!scope) continue;
        if (SameText(scope->Name(), Name)) return scope;
        if (TComponent* c = scope->FindComponent(Name)) return c;
    }
    return nullptr;
}

const TClassInfo& ClassOf(const TPersistent& Obj, const std::string& Declared, int Line,
                          const std::string& Comp) {
    const TClassInfo* info = FindClass(Obj.ClassName());
    if (!info && !Declared.empty()) info = FindClass(Declared);
    if (!info) throw EFormDataError("class " + Obj.ClassName() + " has no published properties", Line, Comp);
    return *info;
}

class TReader {
  public:
    explicit TReader(TComponent& Root) : FRoot(Root) {}

    void ReadTree(TComponent& Comp, const TNode& Node) {
        Comp.SetLoadingState(true);
        FAll.push_back(&Comp);
        for (const TPropLine& p : Node.Props)
            SetProperty(Comp, p);
        for (const TNode& child : Node.Children)
            ReadTree(ChildFor(Comp, child), child);
    }

    TComponent& ChildFor(TComponent& Owner, const TNode& Node) {
        if (TComponent* existing = Owner.FindComponent(Node.Name)) {
            if (std::find(FAll.begin(), FAll.end(), existing) != FAll.end())
                throw EFormDataError("a component of this name is already in the form data", Node.Line,
                                     Node.Name);
            const TClassInfo* info = FindClass(existing->ClassName());
            if (!SameText(existing->ClassName(), Node.Class) && !(info && info->InheritsFrom(Node.Class)))
                throw EFormDataError("component is a " + existing->ClassName() + ", not a " + Node.Class,
                                     Node.Line, Node.Name);
            return *existing;
        }
        const TClassInfo* info = FindClass(Node.Class);
        if (!info) throw EFormDataError("class " + Node.Class + " is not registered", Node.Line, Node.Name);
        if (!info->Create)
            throw EFormDataError("class " + Node.Class + " cannot be created from form data", Node.Line,
                                 Node.Name);
        TComponent* c = info->Create(&Owner);
        if (c->Owner() != &Owner) // a class that ignores its owner argument
            Owner.InsertComponent(c);
        FCreated.push_back(c);
        try {
            c->SetName(Node.Name);
        } catch (const Exception& e) {
            throw EFormDataError(e.Message(), Node.Line, Node.Name);
        }
        return *c;
    }

    void SetProperty(TComponent& Comp, const TPropLine& P) {
        const std::string& compName = Comp.Name();
        auto fail = [&](const std::string& msg) -> EFormDataError {
            return EFormDataError(msg, P.Line, compName, P.Path);
        };
        TPersistent* obj = &Comp;
        const TClassInfo* info = &ClassOf(Comp, {}, P.Line, compName);
        size_t start = 0;
        const TPropInfo* prop = nullptr;
        for (;;) {
            size_t dot = P.Path.find('.', start);
            std::string seg =
                P.Path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            prop = info->FindProp(seg);
            if (!prop) throw fail("unknown property");
            if (dot == std::string::npos) break;
            if (prop->Kind != pkClass) throw fail("\"" + seg + "\" has no sub-properties");
            obj = prop->GetObject(*obj);
            if (!obj) throw fail("\"" + seg + "\" is not set");
            info = &ClassOf(*obj, prop->SubClassName, P.Line, compName);
            start = dot + 1;
        }
        const TValue& v = P.Value;
        try {
            switch (prop->Kind) {
            case pkInteger:
                if (v.Kind != vkInteger) throw fail("an integer is expected");
                if (v.Int < prop->MinValue || v.Int > prop->MaxValue)
                    throw fail(std::to_string(v.Int) + " is out of range (" + std::to_string(prop->MinValue) +
                               " to " + std::to_string(prop->MaxValue) + ")");
                prop->SetOrd(*obj, v.Int);
                break;
            case pkBool:
                if (v.Kind == vkIdent && SameText(v.Text, "true"))
                    prop->SetOrd(*obj, 1);
                else if (v.Kind == vkIdent && SameText(v.Text, "false"))
                    prop->SetOrd(*obj, 0);
                else
                    throw fail("true or false is expected");
                break;
            case pkEnum: {
                if (v.Kind != vkIdent) throw fail("a member name is expected");
                prop->SetOrd(*obj, MemberOrdinal(*prop, v.Text, fail));
                break;
            }
            case pkSet: {
                if (v.Kind != vkSet) throw fail("a set [a, b] is expected");
                int64_t bits = 0;
                for (const std::string& m : v.Members) {
                    int64_t ordinal = MemberOrdinal(*prop, m, fail);
                    if (ordinal >= 63) throw fail("\"" + m + "\" does not fit in a set");
                    bits |= int64_t{1} << ordinal;
                }
                prop->SetOrd(*obj, bits);
                break;
            }
            case pkChar:
                if (v.Kind == vkChar)
                    prop->SetOrd(*obj, static_cast<unsigned char>(v.Text[0]));
                else if (v.Kind == vkInteger && v.Int >= 0 && v.Int <= 255)
                    prop->SetOrd(*obj, v.Int);
                else
                    throw fail("a character is expected");
                break;
            case pkString:
                if (v.Kind != vkString) throw fail("a quoted text is expected");
                prop->SetStr(*obj, v.Text);
                break;
            case pkClass:
                throw fail("an object; set its properties as \"" + P.Path + ".Name = value\"");
            case pkComponent:
                if (v.Kind != vkIdent) throw fail("a component name is expected");
                // Resolved when the whole tree has been read: the component may come later.
                FReferences.push_back({&Comp, obj, prop, v.Text, P.Line, P.Path});
                break;
            case pkMethod: {
                if (v.Kind != vkIdent) throw fail("a handler name is expected");
                const TClassInfo* rootInfo = FindClass(FRoot.ClassName());
                const auto* make = rootInfo ? rootInfo->FindMethod(v.Text) : nullptr;
                if (!make) throw fail(FRoot.ClassName() + " has no handler " + v.Text);
                std::any handler = (*make)(FRoot);
                try {
                    prop->SetMethod(*obj, handler);
                } catch (const std::bad_any_cast&) {
                    throw fail("handler " + v.Text + " does not fit this event");
                }
                Comp.SetEventMethodName(P.Path, v.Text);
                break;
            }
            }
        } catch (const EFormDataError&) {
            throw;
        } catch (const std::exception& e) {
            throw fail(e.what()); // a setter refused the value
        }
    }

    template <class F> static int64_t MemberOrdinal(const TPropInfo& Prop, const std::string& Name, F& fail) {
        for (size_t i = 0; i < Prop.MemberNames.size(); ++i)
            if (SameText(Prop.MemberNames[i], Name)) return static_cast<int64_t>(i);
        throw fail("\"" + Name + "\" is not a member of this property's type");
    }

    // Sets the stored references once every component of the tree exists (before Loaded).
    void ResolveReferences() {
        for (const TReference& r : FReferences) {
            auto fail = [&](const std::string& msg) {
                return EFormDataError(msg, r.Line, r.Comp->Name(), r.Path);
            };
            TComponent* target = ResolveReference(*r.Comp, FRoot, r.Name);
            if (!target) throw fail("no component named " + r.Name + " in this form");
            try {
                if (!r.Prop->SetRef(*r.Obj, target))
                    throw fail(r.Name + " is a " + target->ClassName() + ", not a " + r.Prop->SubClassName);
            } catch (const EFormDataError&) {
                throw;
            } catch (const std::exception& e) {
                throw fail(e.what()); // a setter refused the component
            }
        }
    }

    // Undoes a failed read: deletes what this read created and ends the loading state of the rest.
    void Abandon() {
        for (auto it = FCreated.rbegin(); it != FCreated.rend(); ++it) {
            FAll.erase(std::remove(FAll.begin(), FAll.end(), *it), FAll.end());
            delete *it;
        }
        FCreated.clear();
        for (TComponent* c : FAll)
            c->SetLoadingState(false);
    }

    void Finish() {
        std::exception_ptr first;
        for (TComponent* c : FAll) {
            try {
                c->Loaded();
            } catch (...) {
                c->SetLoadingState(false);
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
    }

  private:
    struct TReference {
        TComponent* Comp;
        TPersistent* Obj;
        const TPropInfo* Prop;
        std::string Name;
        int Line;
        std::string Path;
    };

    TComponent& FRoot;
    std::vector<TReference> FReferences;
    std::vector<TComponent*> FAll;     // every component of the tree, in creation (reading) order
    std::vector<TComponent*> FCreated; // the ones this read created
};

void ReadInto(TComponent& Root, const TNode& Tree) {
    if (!SameText(Root.ClassName(), Tree.Class)) {
        const TClassInfo* info = FindClass(Root.ClassName());
        if (!info || !info->InheritsFrom(Tree.Class))
            throw EFormDataError("form data is for a " + Tree.Class + ", not a " + Root.ClassName(),
                                 Tree.Line, Tree.Name);
    }
    TReader reader(Root);
    try {
        if (!Tree.Name.empty() && Tree.Name != Root.Name()) {
            try {
                Root.SetName(Tree.Name);
            } catch (const Exception& e) {
                throw EFormDataError(e.Message(), Tree.Line, Tree.Name);
            }
        }
        reader.ReadTree(Root, Tree);
        reader.ResolveReferences();
    } catch (...) {
        reader.Abandon();
        throw;
    }
    reader.Finish();
}

// ---- writing ----

std::string Quote(const std::string& s, char q) {
    static const char* hex = "0123456789ABCDEF";
    std::string out(1, q);
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == q) {
            out += '\\';
            out += c;
        } else if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    out += q;
    return out;
}

std::string FormatValue(const TPropInfo& P, const TPersistent& Obj) {
    switch (P.Kind) {
    case pkInteger:
        return std::to_string(P.GetOrd(Obj));
    case pkBool:
        return P.GetOrd(Obj) ? "true" : "false";
    case pkEnum: {
        int64_t o = P.GetOrd(Obj);
        if (o < 0 || o >= static_cast<int64_t>(P.MemberNames.size()))
            throw EFormDataError("property " + P.Name + " holds ordinal " + std::to_string(o) +
                                     ", which has no member name",
                                 0, {}, P.Name);
        return P.MemberNames[static_cast<size_t>(o)];
    }
    case pkSet: {
        uint64_t bits = static_cast<uint64_t>(P.GetOrd(Obj));
        std::string out = "[";
        for (size_t i = 0; i < 64 && bits; ++i) {
            if (!(bits & (uint64_t{1} << i))) continue;
            bits &= ~(uint64_t{1} << i);
            if (i >= P.MemberNames.size())
                throw EFormDataError("property " + P.Name + " holds member " + std::to_string(i) +
                                         ", which has no name",
                                     0, {}, P.Name);
            if (out.size() > 1) out += ", ";
            out += P.MemberNames[i];
        }
        return out + "]";
    }
    case pkChar:
        return Quote(std::string(1, static_cast<char>(P.GetOrd(Obj))), '\'');
    case pkString:
        return Quote(P.GetStr(Obj), '"');
    default:
        return {};
    }
}

void WriteProps(std::string& Out, const std::string& Indent, const TComponent& Root, const TComponent& Comp,
                const TPersistent& Obj, const TClassInfo& Info, const std::string& Prefix, int Depth) {
    if (Depth > MaxDepth) throw EFormDataError("sub-objects nested too deeply", 0, Comp.Name(), Prefix);
    for (const TPropInfo* p : Info.AllProps()) {
        std::string path = Prefix + p->Name;
        if (p->Kind == pkClass) {
            TPersistent* sub = p->GetObject(const_cast<TPersistent&>(Obj));
            if (!sub) continue;
            const TClassInfo* subInfo = FindClass(sub->ClassName());
            if (!subInfo) subInfo = FindClass(p->SubClassName);
            if (subInfo) WriteProps(Out, Indent, Root, Comp, *sub, *subInfo, path + ".", Depth + 1);
            continue;
        }
        if (p->Kind == pkMethod) {
            std::string method = Comp.EventMethodName(path);
            if (p->MethodAssigned(Obj) && !method.empty()) Out += Indent + path + " = " + method + "\n";
            continue;
        }
        if (p->Kind == pkComponent) {
            // Only a reference that reading finds again is written. One to a component outside the
            // form (a port of another window, bound in code) stays out, as it did before references
            // were stored; written, it would make the whole form unreadable.
            const TComponent* target = p->GetRef(Obj);
            if (target && p->IsStored(Obj) && ResolveReference(Comp, Root, target->Name()) == target)
                Out += Indent + path + " = " + target->Name() + "\n";
            continue;
        }
        if (p->IsStored(Obj)) Out += Indent + path + " = " + FormatValue(*p, Obj) + "\n";
    }
}

void WriteNode(std::string& Out, const TComponent& Root, const TComponent& Comp, int Depth) {
    const TClassInfo* info = FindClass(Comp.ClassName());
    if (!info) return;
    if (Depth > MaxDepth) throw EFormDataError("components nested too deeply", 0, Comp.Name());
    std::string indent(static_cast<size_t>(Depth) * 2, ' ');
    Out += indent + Comp.Name() + ": " + Comp.ClassName() + " {\n";
    WriteProps(Out, indent + "  ", Root, Comp, Comp, *info, {}, 0);
    for (int i = 0; i < Comp.ComponentCount(); ++i)
        WriteNode(Out, Root, *Comp.Components(i), Depth + 1);
    Out += indent + "}\n";
}

std::string Describe(const std::string& Message, int Line, const std::string& Component,
                     const std::string& Property) {
    std::string where;
    if (Line > 0) where = "line " + std::to_string(Line);
    if (!Component.empty()) where += std::string(where.empty() ? "" : ", ") + "component " + Component;
    if (!Property.empty()) where += std::string(where.empty() ? "" : ", ") + "property " + Property;
    return where.empty() ? "Form data: " + Message : "Form data (" + where + "): " + Message;
}

} // namespace

bool TPropInfo::IsStored(const TPersistent& Instance) const {
    switch (Stored.Mode) {
    case TStored::smAlways:
        return true;
    case TStored::smNever:
        return false;
    case TStored::smWhen:
        return Stored.When && Stored.When(Instance);
    case TStored::smDefault:
        if (Kind == pkString) return GetStr(Instance) != Stored.Str;
        if (Kind == pkClass || Kind == pkMethod) return true;
        if (Kind == pkComponent) return GetRef(Instance) != nullptr;
        return GetOrd(Instance) != Stored.Ord;
    }
    return true;
}

const TClassInfo* TClassInfo::Parent() const {
    return ParentName.empty() ? nullptr : FindClass(ParentName);
}

std::vector<const TPropInfo*> TClassInfo::AllProps() const {
    std::vector<const TClassInfo*> chain;
    for (const TClassInfo* c = this; c && chain.size() < 64; c = c->Parent())
        chain.push_back(c);
    std::vector<const TPropInfo*> out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        for (const TPropInfo& p : (*it)->Props)
            out.push_back(&p);
    return out;
}

const TPropInfo* TClassInfo::FindProp(std::string_view PropName) const {
    int guard = 0;
    for (const TClassInfo* c = this; c && guard < 64; c = c->Parent(), ++guard)
        for (const TPropInfo& p : c->Props)
            if (SameText(p.Name, PropName)) return &p;
    return nullptr;
}

const std::function<std::any(TComponent&)>* TClassInfo::FindMethod(std::string_view MethodName) const {
    int guard = 0;
    for (const TClassInfo* c = this; c && guard < 64; c = c->Parent(), ++guard)
        for (const auto& [name, make] : c->Methods)
            if (SameText(name, MethodName)) return &make;
    return nullptr;
}

bool TClassInfo::InheritsFrom(std::string_view ClassName) const {
    int guard = 0;
    for (const TClassInfo* c = this; c && guard < 64; c = c->Parent(), ++guard)
        if (SameText(c->Name, ClassName)) return true;
    return false;
}

const TClassInfo& RegisterClass(TClassInfo Info) {
    TRegistry& r = Registry();
    std::lock_guard lk(r.Lock);
    auto& slot = r.Classes[LowerCase(Info.Name)];
    if (slot)
        *slot = std::move(Info); // re-registration replaces the record in place; pointers stay valid
    else
        slot = std::make_unique<TClassInfo>(std::move(Info));
    return *slot;
}

const TClassInfo* FindClass(std::string_view Name) {
    TRegistry& r = Registry();
    std::lock_guard lk(r.Lock);
    auto it = r.Classes.find(LowerCase(Name));
    return it == r.Classes.end() ? nullptr : it->second.get();
}

EFormDataError::EFormDataError(const std::string& Message, int Line, std::string Component,
                               std::string Property)
    : Exception(Describe(Message, Line, Component, Property)), FLine(Line), FComponent(std::move(Component)),
      FProperty(std::move(Property)) {}

void ReadComponentData(TComponent& Root, std::string_view Text) {
    ReadInto(Root, Parse(Text));
}

TComponent* ReadComponent(std::string_view Text, TComponent* AOwner) {
    TNode tree = Parse(Text);
    const TClassInfo* info = FindClass(tree.Class);
    if (!info) throw EFormDataError("class " + tree.Class + " is not registered", tree.Line, tree.Name);
    if (!info->Create)
        throw EFormDataError("class " + tree.Class + " cannot be created from form data", tree.Line,
                             tree.Name);
    std::unique_ptr<TComponent> root(info->Create(AOwner));
    ReadInto(*root, tree);
    return root.release();
}

std::string WriteComponent(const TComponent& Root) {
    if (!FindClass(Root.ClassName()))
        throw EFormDataError("class " + Root.ClassName() + " is not registered", 0, Root.Name());
    std::string out;
    WriteNode(out, Root, Root, 0);
    return out;
}
