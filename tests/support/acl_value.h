// Access control lists as the system.posix_acl_access and
// system.posix_acl_default attributes hold them, written as short text so
// that test tables read like getfacl: "u::rw,u:1002:r,g::r,m::r,o::-".
// Entries go in the order the kernel requires (owner, named users, group,
// named groups, mask, other; ids ascending).
#pragma once

#include <string>
#include <string_view>

// The attribute's bytes for text; empty for text that does not parse.
std::string acl_value(std::string_view text);
// The text of an attribute's bytes (as acl_value reads it); "?" for bytes
// that are no list.
std::string acl_text(std::string_view value);
