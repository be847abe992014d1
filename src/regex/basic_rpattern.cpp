// The engine's two instantiations: pointer ranges / NUL-terminated strings,
// and std::string iterators.
#include "regex/basic_rpattern_impl.h"

namespace regex {

template class basic_rpattern_base_impl<std::string::const_iterator>;
template class basic_rpattern_base_impl<const char*>;
template class basic_rpattern_base<std::string::const_iterator>;
template class basic_rpattern_base<const char*>;
template class basic_rpattern<std::string::const_iterator>;
template class basic_rpattern<const char*>;
template std::size_t substitute(basic_subst_results<std::string::const_iterator>&,
                                const basic_rpattern<std::string::const_iterator>&, std::string&);
template std::size_t substitute(basic_subst_results<const char*>&, const basic_rpattern<const char*>&, std::string&);

}  // namespace regex
