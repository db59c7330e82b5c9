#include "kxcore/keyserver.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "kxcore/io.h"

namespace {

TEST(KxKeyTest, ComparisonAndTextForms) {
  struct Case {
    KxKey a;
    KxKey b;
    bool equal;
    bool less;
  };
  const Case cases[] = {
      {KxKey(17, 4), KxKey(17, 4), true, false},
      {KxKey(17, 4, 1), KxKey(17, 4, 2), true, false},  // defined: localId does not count
      {KxKey(17, 3), KxKey(2, 4), false, true},         // space before id
      {KxKey(2, 4), KxKey(17, 4), false, true},
      {KxKey(0, 0, 3), KxKey(0, 0, 3), true, false},  // undefined: by localId
      {KxKey(0, 9, 3), KxKey(0, 1, 3), true, false},
      {KxKey(5, 0, 3), KxKey(0, 0, 3), true, false},  // one undefined: by localId
      {KxKey(0, 0, 2), KxKey(0, 0, 3), false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.longText() << " vs " << c.b.longText();
    EXPECT_EQ(c.a < c.b, c.less) << c.a.longText() << " vs " << c.b.longText();
  }
  KxKey key(17, 4, 3);
  EXPECT_EQ(key.shortText(), "4:17");
  EXPECT_EQ(key.idText(), "17");
  EXPECT_EQ(key.longText(), "4:17(3)");
  EXPECT_TRUE(KxKey().isNull());
  EXPECT_FALSE(KxKey(0, 0, 1).isNull());
  EXPECT_FALSE(KxKey(0, 0, 1).isDefined());
  EXPECT_EQ(KxKey(5).space, 0);
}

class KeyServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KXIO::shutdown();
    KXIO::setAllEnabled(true);
    kxout.setTargetStream(m_trace);
    m_server.clear();
  }
  void TearDown() override { KXIO::shutdown(); }

  KxKeyServer m_server;
  std::ostringstream m_trace;
};

TEST_F(KeyServerTest, NumbersAddressesAndParents) {
  KxKey a(1, 2);
  EXPECT_EQ(m_server.GenerateUniqueId(a), 1);
  EXPECT_EQ(m_server.GenerateUniqueId(KxKey()), 2);  // undefined: counted, not bound
  EXPECT_EQ(m_server.idOfKey(a), 1);
  EXPECT_EQ(m_server.keyOfId(1), a);
  int object = 0;
  m_server.keyForPointer(a, &object);
  EXPECT_EQ(m_server.keyOfPointer(&object), a);
  KxKey parent(9, 2);
  m_server.setParentKey(a, parent);
  EXPECT_EQ(m_server.getParentKey(a), parent);
  EXPECT_NE(m_trace.str().find("] key=2:1,pkey=2:9\n"), std::string::npos) << m_trace.str();
  EXPECT_NE(m_trace.str().find("> KX(KeyServer)::GenerateUniqueId() ["), std::string::npos);
}

TEST_F(KeyServerTest, FailuresAreAnnouncedAndThrown) {
  int object = 0;
  struct Case {
    const char* label;
    std::function<void()> call;
    int code;
    const char* message;  // "" when the throw line stands alone
  };
  const Case cases[] = {
      {"bind undefined", [&] { m_server.bind(KxKey(), 3); }, KxError::kBadKey, "Key is undefined."},
      {"null pointer", [&] { m_server.keyForPointer(KxKey(1), nullptr); }, KxError::kNullRef,
       "Pointer is null."},
      {"unknown address", [&] { m_server.keyOfPointer(&object); }, KxError::kNullRef, ""},
      {"unknown number", [&] { m_server.keyOfId(42); }, KxError::kBadId, ""},
      {"unbound key", [&] { m_server.idOfKey(KxKey(8)); }, KxError::kBadKey, ""},
      {"parent of undefined", [&] { m_server.getParentKey(KxKey()); }, KxError::kBadKey,
       "Key is undefined."},
      {"no parent", [&] { m_server.getParentKey(KxKey(8)); }, KxError::kBadKey,
       "No parent for key."},
      {"undefined parent", [&] { m_server.setParentKey(KxKey(8), KxKey()); }, KxError::kBadKey,
       "Key is undefined."},
  };
  for (const Case& c : cases) {
    m_trace.str("");
    try {
      c.call();
      ADD_FAILURE() << c.label << ": no exception";
    } catch (const KxException& e) {
      EXPECT_EQ(e.code(), c.code) << c.label;
    }
    const std::string trace = m_trace.str();
    const std::string throwLine = std::string("] [THROW] [") + kxErrorName(c.code) + "]\n";
    EXPECT_NE(trace.find(throwLine), std::string::npos) << c.label << ": " << trace;
    if (*c.message != '\0') {
      EXPECT_LT(trace.find(std::string("] ") + c.message + "\n"), trace.find(throwLine))
          << c.label << ": " << trace;
    }
  }
}

}  // namespace
