// Search filters in the DASL form the add-in writes for Items.Find.
//
// Grammar (keywords case-insensitive, blanks between tokens ignored):
//   filter      := [ "@SQL=" ] ( or-expr | query )
//   query       := "SELECT" anything "WHERE" or-expr
//                  (what is selected and the scope are ignored: the folder
//                  searched is the scope)
//   or-expr     := and-expr { "OR" and-expr }
//   and-expr    := not-expr { "AND" not-expr }
//   not-expr    := [ "NOT" ] primary
//   primary     := "(" or-expr ")" | comparison
//   comparison  := property ( "=" | "<>" | "LIKE" ) literal
//   property    := '"' name '"'          (also accepted without quotes)
//   literal     := "'" text "'"  ('' inside stands for ')  | integer
// Property names:
//   http://schemas.microsoft.com/mapi/proptag/0xIIIITTTT   a tag
//   http://schemas.microsoft.com/mapi/id/{GUID}/0xHHHH     a named id
//   http://schemas.microsoft.com/mapi/string/{GUID}/name   a named string
//   urn:schemas:httpmail:subject          PR_SUBJECT
//   urn:schemas:httpmail:textdescription  PR_BODY
//   urn:schemas:mailheader:message-id     PR_INTERNET_MESSAGE_ID
// Comparisons by the property's stored type:
//   binary   the literal is hex text of the bytes (either case); equal bytes
//   strings  case-insensitive; LIKE with '%' (any run) and '_' (one char)
//   integers and booleans  the literal as a decimal number (booleans 0 / 1)
//   times    not comparable (MAPI_E_TOO_COMPLEX at match time is avoided by
//            treating them as never equal)
// A message without the property matches "=" and LIKE never, "<>" always.
// Syntax errors give E_INVALIDARG; names outside the forms above and LIKE
// on a non-text property give MAPI_E_TOO_COMPLEX.
//
// Value type; immutable after Parse, so it may be shared between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropertyBag.h"
#include "platform/store/StoreTypes.h"

namespace store {

class DaslFilter {
public:
    // Resolves named-property names through resolveName (null: named
    // property names give MAPI_E_TOO_COMPLEX); a name that resolves to 0
    // matches no message. On failure *out is unchanged.
    using NameResolver = USHORT (*)(void* context, const mapi::NamedProperty& name);
    static HRESULT Parse(std::wstring_view text, NameResolver resolveName, void* context,
                         DaslFilter* out);

    bool Matches(const mapi::PropertyBag& props) const;
    // The properties Matches reads (any type: PT_UNSPECIFIED tags), so that
    // a store needs to hand it only these.
    std::vector<ULONG> Tags() const;
    // When the whole filter is one or more "=" terms on PR_SEARCH_KEY joined
    // by OR: their values (so a store can answer from its search-key index).
    std::optional<std::vector<Bytes>> SearchKeyTerms() const;

    struct Node;

private:
    std::shared_ptr<const Node> m_root;
};

}  // namespace store
