// The page's files, compiled into quillaret-web (page_files.cpp is written at build time from
// web/page/ by embed_files.cmake).
#pragma once

#include <cstddef>
#include <string_view>

namespace qc::web {

struct PageFile {
  std::string_view name;  // the file's name in web/page/, its path under the token
  std::string_view bytes;
};

extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

}  // namespace qc::web
