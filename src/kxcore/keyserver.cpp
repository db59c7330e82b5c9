#include "kxcore/keyserver.h"

#include "kxcore/io.h"

std::string KxKey::shortText() const { return std::to_string(space) + ":" + std::to_string(id); }

std::string KxKey::idText() const { return std::to_string(id); }

std::string KxKey::longText() const { return shortText() + "(" + std::to_string(localId) + ")"; }

bool KxKey::operator==(const KxKey& other) const {
  if (isDefined() && other.isDefined()) return id == other.id && space == other.space;
  return localId == other.localId;
}

bool KxKey::operator<(const KxKey& other) const {
  if (isDefined() && other.isDefined()) {
    if (space != other.space) return space < other.space;
    return id < other.id;
  }
  return localId < other.localId;
}

KxOstream& operator<<(KxOstream& stream, const KxKey& key) {
  if (stream.enabled()) stream << key.shortText();
  return stream;
}

KxKeyServer& KxKeyServer::instance() {
  static KxKeyServer server;
  return server;
}

void KxKeyServer::bindLocked(const KxKey& key, int number) {
  if (!key.isDefined()) {
    KX_POS(kxerr) << "Key is undefined." << endl;
    KX_THROW(KxError::kBadKey);
  }
  m_numberOfKey[key] = number;
  m_keyOfNumber[number] = key;
}

int KxKeyServer::GenerateUniqueId(const KxKey& key) {
  KX_SCOPE("KX(KeyServer)::GenerateUniqueId");
  std::lock_guard<std::mutex> lock(m_mutex);
  int number = ++m_counter;
  if (key.isDefined()) {
    try {
      bindLocked(key, number);
    } catch (const KxException&) {
      // The number stays handed out even when it could not be recorded.
    }
  }
  return number;
}

void KxKeyServer::bind(const KxKey& key, int number) {
  std::lock_guard<std::mutex> lock(m_mutex);
  bindLocked(key, number);
}

void KxKeyServer::keyForPointer(const KxKey& key, const void* address) {
  KX_SCOPE("KX(KeyServer)::keyForPointer");
  KX_POS(kxout) << "key=" << key.shortText() << ",p=" << address << endl;
  if (address == nullptr) {
    KX_POS(kxerr) << "Pointer is null." << endl;
    KX_THROW(KxError::kNullRef);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_keyOfAddress[address] = key;
}

KxKey KxKeyServer::keyOfPointer(const void* address) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_keyOfAddress.find(address);
  if (it == m_keyOfAddress.end()) KX_THROW(KxError::kNullRef);
  return it->second;
}

KxKey KxKeyServer::keyOfId(int number) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_keyOfNumber.find(number);
  if (it == m_keyOfNumber.end()) KX_THROW(KxError::kBadId);
  return it->second;
}

int KxKeyServer::idOfKey(const KxKey& key) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  // Only defined keys are ever bound, and their order is total.
  if (!key.isDefined()) KX_THROW(KxError::kBadKey);
  auto it = m_numberOfKey.find(key);
  if (it == m_numberOfKey.end()) KX_THROW(KxError::kBadKey);
  return it->second;
}

KxKey KxKeyServer::getParentKey(const KxKey& key) const {
  KX_SCOPE("KX(KeyServer)::getParentKey");
  KX_POS(kxout) << "key=" << key.shortText() << endl;
  if (!key.isDefined()) {
    KX_POS(kxerr) << "Key is undefined." << endl;
    KX_THROW(KxError::kBadKey);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_parentOfKey.find(key);
  if (it == m_parentOfKey.end()) {
    KX_POS(kxerr) << "No parent for key." << endl;
    KX_THROW(KxError::kBadKey);
  }
  return it->second;
}

void KxKeyServer::setParentKey(const KxKey& key, const KxKey& parent) {
  KX_SCOPE("KX(KeyServer)::setParentKey");
  KX_POS(kxout) << "key=" << key.shortText() << ",pkey=" << parent.shortText() << endl;
  if (!key.isDefined() || !parent.isDefined()) {
    KX_POS(kxerr) << "Key is undefined." << endl;
    KX_THROW(KxError::kBadKey);
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_parentOfKey[key] = parent;
}

void KxKeyServer::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_counter = 0;
  m_numberOfKey.clear();
  m_keyOfNumber.clear();
  m_keyOfAddress.clear();
  m_parentOfKey.clear();
}
