// Ids shared by the test module's script and C++ code. The resource compiler
// reads only the preprocessor lines of this header.
#pragma once

#ifndef QM_RESOURCE_TEST_IDS_H
#define QM_RESOURCE_TEST_IDS_H

#define IDS_ONE 1
#define IDD_QUESTION 123

inline constexpr unsigned kIdsOne = IDS_ONE;

#endif
