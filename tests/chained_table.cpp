#include "chained_table.h"

ChainedTable::ChainedTable() : buckets_(16, nullptr) {}

ChainedTable::~ChainedTable() {
  for (Entry* head : buckets_) {
    while (head != nullptr) {
      Entry* next = head->next;
      delete head;
      head = next;
    }
  }
}

uint32_t ChainedTable::hash(const char* text) {
  uint32_t h = 0xF0E1D2;
  for (const char* p = text; *p != '\0'; ++p) {
    // (b | 0x20) as a signed byte, widened: bytes above 0x7F subtract.
    auto s = static_cast<int32_t>(static_cast<signed char>(*p | 0x20));
    h = h ^ ((h << 7) + (h >> 2) + static_cast<uint32_t>(s));
  }
  return h;
}

bool ChainedTable::same_key(const std::string& a, const char* b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

void ChainedTable::add(const char* key, void* value) {
  Entry** link = &buckets_[hash(key) & static_cast<uint32_t>(mask_)];
  while (*link != nullptr) link = &(*link)->next;
  *link = new Entry{nullptr, value, key};
  ++count_;
  check_size();
}

void ChainedTable::replace(const char* key, void* value) {
  for (Entry* e = buckets_[hash(key) & static_cast<uint32_t>(mask_)]; e != nullptr; e = e->next) {
    if (same_key(e->key, key)) {
      e->value = value;
      return;
    }
  }
  add(key, value);
}

void* ChainedTable::get(const char* key) const {
  for (Entry* e = buckets_[hash(key) & static_cast<uint32_t>(mask_)]; e != nullptr; e = e->next) {
    if (same_key(e->key, key)) return e->value;
  }
  return nullptr;
}

void ChainedTable::enumerate(const std::function<bool(const std::string&, void*)>& visit) {
  for (int32_t i = 0; i <= mask_; ++i) {
    Entry** link = &buckets_[static_cast<size_t>(i)];
    while (*link != nullptr) {
      Entry* entry = *link;
      Entry* successor = entry->next;
      if (visit(entry->key, entry->value)) {
        *link = successor;
        delete entry;
        --count_;
      } else {
        link = &entry->next;
      }
    }
  }
  check_size();
}

bool ChainedTable::empty_buckets() const {
  for (const Entry* head : buckets_) {
    if (head != nullptr) return false;
  }
  return true;
}

void ChainedTable::check_size() {
  int32_t load = count_ * 100 / (mask_ + 1);
  if (load > max_load_) {
    resize(mask_ * 2 + 1);
  } else if (load < max_load_ / 4 && mask_ > 15) {
    resize((mask_ - 1) / 2);
  }
}

void ChainedTable::resize(int32_t new_mask) {
  std::vector<Entry*> fresh(static_cast<size_t>(new_mask) + 1, nullptr);
  for (Entry* entry : buckets_) {
    while (entry != nullptr) {
      Entry* next = entry->next;
      Entry*& head = fresh[hash(entry->key.c_str()) & static_cast<uint32_t>(new_mask)];
      entry->next = head;
      head = entry;
      entry = next;
    }
  }
  for (Entry*& head : fresh) {
    Entry* reversed = nullptr;
    while (head != nullptr) {
      Entry* next = head->next;
      head->next = reversed;
      reversed = head;
      head = next;
    }
    head = reversed;
  }
  buckets_ = fresh;
  mask_ = new_mask;
}
