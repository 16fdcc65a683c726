// ParseSettingsDocument: the one reader of settings documents, shared by the
// transports and by whatever checks a document before a transport sees it.
//
// The XML reader recurses once per nested element, so a document such as
// "<a><a><a>..." thousands deep would exhaust the stack. Documents larger
// than kMaxSettingsDocumentSize or nested deeper than
// kMaxSettingsDocumentDepth are refused before the reader sees them. A real
// settings document is one element on one line.
//
// May be called from any thread.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <string>

constexpr std::size_t kMaxSettingsDocumentSize = 64 * 1024;
constexpr int kMaxSettingsDocumentDepth = 16;

// The tree of |document| (attributes under "<xmlattr>"). Throws
// std::length_error for a document over either bound, and the reader's
// boost::property_tree::xml_parser_error for one that is not well-formed.
boost::property_tree::ptree ParseSettingsDocument(const std::string& document);

// How deeply the elements of |document| nest: "<a><b/></a>" is 2. Only the
// markup is looked at (comments, declarations and quoted values are skipped),
// so a document that is not well-formed still gets an answer.
int SettingsDocumentDepth(const std::string& document);
