// Stored archives from untrusted files: the tagged value reader, object-list archives (with the
// registered vector lists inside) and typed-item collections. Bad input may only raise the
// run-time's exceptions; a successful read must save and read back to the same bytes.
#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Base/XCollection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class TFuzzItem : public TXCollectionItem {
    RTL_CLASS(TFuzzItem, TXCollectionItem)
public:
    int Level = 0;
    double Weight = 0;
    bool Flag = false;
    static std::string FriendlyName() { return "Fuzz item"; }
    void WriteToFiler(TWriter* W) override {
        inherited::WriteToFiler(W);
        W->WriteInteger(0);
        W->WriteInteger(Level);
        W->WriteFloat(Weight);
        W->WriteBoolean(Flag);
    }
    void ReadFromFiler(TReader* R) override {
        inherited::ReadFromFiler(R);
        RTL_ASSERT(R->ReadInteger() == 0);
        Level = R->ReadInteger();
        Weight = R->ReadFloat();
        Flag = R->ReadBoolean();
    }
};

class TFuzzUnique : public TXCollectionItem {
    RTL_CLASS(TFuzzUnique, TXCollectionItem)
public:
    static std::string FriendlyName() { return "Unique"; }
    static bool UniqueItem() { return true; }
};

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "persistence invariant broken: %s\n", what);
        std::abort();
    }
}

void Setup() {
    static bool done = false;
    if (done)
        return;
    done = true;
    RegisterPersistentClasses();
    RegisterVectorLists();
    RegisterXCollectionItemClass<TFuzzItem>();
    RegisterXCollectionItemClass<TFuzzUnique>();
}

void ReadValues(const std::string& data) {
    TStringStream s(data);
    TBinaryReader r(&s);
    while (s.Position() < s.Size()) {
        switch (r.NextValue()) {
        case vaNull: r.ReadListEnd(); break;
        case vaList: r.ReadListBegin(); break;
        case vaExtended: r.ReadFloat(); break;
        case vaFalse: case vaTrue: r.ReadBoolean(); break;
        case vaString: case vaLString: case vaWString: case vaUTF8String: r.ReadString(); break;
        default: r.ReadInteger(); break;  // integers, or the read type error
        }
    }
}

// Lists do not own their items; nested lists read from an archive are freed with theirs.
void FreeDeep(TPersistentObjectList& list) {
    for (int i = 0; i < list.Count(); ++i)
        if (auto* inner = dynamic_cast<TPersistentObjectList*>(list.Get(i)))
            FreeDeep(*inner);
    list.FreeItemsAndClear();
}

struct DeepOwner {
    TPersistentObjectList list;
    ~DeepOwner() { FreeDeep(list); }
};

void ReadObjectList(const std::string& data) {
    DeepOwner first;
    first.list.LoadFromString(data);
    std::string saved = first.list.SaveToString();
    DeepOwner again;
    again.list.LoadFromString(saved);
    Check(again.list.SaveToString() == saved, "object list round trip");
}

void ReadCollection(const std::string& data) {
    TXCollection c;
    {
        TStringStream s(data);
        TReader r(&s);
        c.ReadFromFiler(&r);
    }
    TStringStream out;
    {
        TWriter w(&out);
        c.WriteToFiler(&w);
    }
    TXCollection again;
    TStringStream in(out.DataString());
    TReader r(&in);
    again.ReadFromFiler(&r);
    Check(again.Count() == c.Count(), "collection round trip");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    if (size == 0)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 3) {
        case 0: ReadValues(body); break;
        case 1: ReadObjectList(body); break;
        case 2: ReadCollection(body); break;
        }
    } catch (const Exception&) {
        // the run-time's errors are the expected outcome of bad input
    }
    return 0;
}
