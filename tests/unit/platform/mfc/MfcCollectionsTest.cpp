#include <afxcoll.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// Counts its destructions so that the tests can tell whether a map deleted it.
class CountedObject : public CObject {
public:
    explicit CountedObject(int* pDestroyed) : m_pDestroyed(pDestroyed) {}
    ~CountedObject() override { ++*m_pDestroyed; }

private:
    int* m_pDestroyed;
};

std::map<std::string, std::string> Contents(const CMapStringToString& map) {
    std::map<std::string, std::string> out;
    CString key, value;
    for (POSITION pos = map.GetStartPosition(); pos != NULL;) {
        map.GetNextAssoc(pos, key, value);
        out[static_cast<LPCTSTR>(key)] = static_cast<LPCTSTR>(value);
    }
    return out;
}

}  // namespace

TEST(MfcStringArray, AddInsertRemoveKeepOrder) {
    CStringArray lines;
    EXPECT_TRUE(lines.IsEmpty());
    EXPECT_EQ(0, lines.Add("[Connection]"));
    EXPECT_EQ(1, lines.Add(CString("Port=COM2")));
    lines.InsertAt(1, "# comment");
    lines.InsertAt(5, "far", 2);  // past the end: the gap fills with empty strings
    ASSERT_EQ(7, lines.GetSize());
    EXPECT_EQ(CString("# comment"), lines[1]);
    EXPECT_EQ(CString("Port=COM2"), lines.GetAt(2));
    EXPECT_TRUE(lines[3].IsEmpty());
    EXPECT_EQ(CString("far"), lines[6]);

    lines.RemoveAt(3, 100);
    EXPECT_EQ(3, lines.GetCount());
    EXPECT_EQ(2, lines.GetUpperBound());
    lines.RemoveAt(0);
    EXPECT_EQ(CString("# comment"), lines[0]);
    lines.RemoveAt(9);  // outside: nothing happens
    EXPECT_EQ(2, lines.GetSize());

    lines[0] = "edited";
    lines.SetAt(1, "set");
    lines.SetAt(7, "ignored");
    lines.SetAtGrow(3, "grown");
    EXPECT_EQ(4, lines.GetSize());
    EXPECT_EQ(CString("edited"), lines.ElementAt(0));
    EXPECT_EQ(CString("set"), lines[1]);
    EXPECT_EQ(CString("grown"), lines[3]);

    const CStringArray& view = lines;
    EXPECT_TRUE(view.GetAt(4).IsEmpty());
    EXPECT_TRUE(view[-1].IsEmpty());
}

TEST(MfcStringArray, CopyAppendAndSelfInsert) {
    CStringArray a;
    a.Add("x");
    a.Add("y");
    EXPECT_EQ(2, a.Append(a));
    ASSERT_EQ(4, a.GetSize());
    EXPECT_EQ(CString("y"), a[3]);

    a.InsertAt(0, a[3], 2);  // inserting one of its own elements
    EXPECT_EQ(CString("y"), a[0]);
    EXPECT_EQ(CString("y"), a[1]);
    EXPECT_EQ(CString("x"), a[2]);

    CStringArray b;
    b.Copy(a);
    EXPECT_EQ(6, b.GetSize());
    b.InsertAt(1, &a);
    EXPECT_EQ(12, b.GetSize());
    b.SetSize(1);
    EXPECT_EQ(1, b.GetSize());
    b.RemoveAll();
    EXPECT_EQ(NULL, b.GetData());
}

TEST(MfcStringArrayDeathTest, WritableAccessOutsideStops) {
    CStringArray a;
    a.Add("only");
    EXPECT_DEATH(a[1] = "x", "");
}

TEST(MfcMapStringToString, LookupSetAtRemove) {
    CMapStringToString keys(10);
    CString value("unchanged");
    EXPECT_FALSE(keys.Lookup("Port", value));
    EXPECT_EQ(CString("unchanged"), value);

    keys.SetAt("Port", "COM2");
    keys.SetAt("Port ", " COM3");  // blanks are part of key and value
    keys["Baudrate"] = "9600";
    EXPECT_EQ(3, keys.GetCount());
    EXPECT_TRUE(keys.Lookup("Port", value));
    EXPECT_EQ(CString("COM2"), value);
    EXPECT_TRUE(keys.Lookup("Port ", value));
    EXPECT_EQ(CString(" COM3"), value);
    EXPECT_FALSE(keys.Lookup("port", value));

    keys.SetAt("Port", "COM4");  // a later value replaces the earlier one
    EXPECT_EQ(3, keys.GetCount());
    EXPECT_EQ(CString("COM4"), keys["Port"]);
    EXPECT_TRUE(keys["missing"].IsEmpty());  // operator[] adds an empty entry
    EXPECT_EQ(4, keys.GetCount());

    EXPECT_TRUE(keys.RemoveKey("missing"));
    EXPECT_FALSE(keys.RemoveKey("missing"));
    EXPECT_EQ(3, keys.GetCount());
    keys.RemoveAll();
    EXPECT_TRUE(keys.IsEmpty());
    EXPECT_EQ(NULL, keys.GetStartPosition());
    EXPECT_FALSE(keys.Lookup("Port", value));
}

TEST(MfcMapStringToString, IterationVisitsEveryEntryOnceAcrossRehash) {
    CMapStringToString map;
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 200; ++i) {
        CString k, v;
        k.Format("key%d", i);
        v.Format("value%d", i * 3);
        map.SetAt(k, v);
        expected[static_cast<LPCTSTR>(k)] = static_cast<LPCTSTR>(v);
    }
    EXPECT_EQ(expected, Contents(map));

    map.InitHashTable(3);  // entries already present move to the new table
    EXPECT_EQ(3u, map.GetHashTableSize());
    EXPECT_EQ(expected, Contents(map));
    map.InitHashTable(211);
    CString value;
    EXPECT_TRUE(map.Lookup("key150", value));
    EXPECT_EQ(CString("value450"), value);
}

TEST(MfcMapStringToString, RemovingTheReturnedEntryWhileIterating) {
    CMapStringToString map;
    for (int i = 0; i < 50; ++i) {
        CString k;
        k.Format("%d", i);
        map[k] = k;
    }
    int visited = 0;
    CString key, value;
    for (POSITION pos = map.GetStartPosition(); pos != NULL;) {
        map.GetNextAssoc(pos, key, value);
        EXPECT_TRUE(map.RemoveKey(key));
        ++visited;
    }
    EXPECT_EQ(50, visited);
    EXPECT_EQ(0, map.GetCount());
}

TEST(MfcMapStringToOb, HoldsObjectsWithoutOwningThem) {
    int destroyed = 0;
    CMapStringToOb sections(10);
    CMapStringToString* pKeys = new CMapStringToString(10);
    CountedObject* pOther = new CountedObject(&destroyed);
    sections.SetAt("Connection", pKeys);
    sections["Other"] = pOther;

    CObject* pFound = NULL;
    ASSERT_TRUE(sections.Lookup("Connection", pFound));
    EXPECT_EQ(pKeys, dynamic_cast<CMapStringToString*>(pFound));
    pFound = pOther;
    EXPECT_FALSE(sections.Lookup("connection", pFound));
    EXPECT_EQ(pOther, pFound);

    sections.RemoveKey("Other");
    sections.RemoveAll();
    EXPECT_EQ(0, destroyed);

    // Deleting through CObject* reaches the derived destructor.
    CObject* asBase = pOther;
    delete asBase;
    EXPECT_EQ(1, destroyed);
    delete pKeys;
}
