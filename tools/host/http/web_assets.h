#pragma once

// The web page's files, embedded in the binary at build time (tools/host/http/web/embed.cmake).

#include <cstddef>

namespace k426b_host {

struct WebAsset {
  const char* name;          // file name under tools/host/http/web, e.g. "app.js"
  const char* content_type;  // with its charset for text
  const unsigned char* data;
  std::size_t size;
};

const WebAsset* WebAssets();
std::size_t WebAssetCount();

}  // namespace k426b_host
