// Typed numeric arrays as Lua userdata: the record, its element types and the
// accessor layer every subsystem uses to read or make arrays.
#pragma once
#include <cstddef>
#include <cstdint>

struct lua_State;

// Element-type tags: low three bits are log2 of the element's bits, 0x08 marks
// a signed integer, 0x10 a float.
enum ElementType : uint8_t {
    UT_U8 = 3,
    UT_I16 = 12,
    UT_I32 = 13,
    UT_I64 = 14,
    UT_F64 = 22,
};

// The userdata payload: this header, then the elements row-major (x fastest).
// Element (x, y, z) is at flat index x + width * (y + height * z).
struct TypedArray {
    uint8_t type;         // an ElementType; read masked with 0x1f
    int8_t dims;          // 1 or 2
    uint8_t reserved[2];
    uint32_t width;
    uint32_t height;      // 1 for a 1-D array
    uint32_t depth;       // 1
};
static_assert(sizeof(TypedArray) == 16, "elements start 16 bytes into the userdata");

// Data area limits (count * element size rounded up to 8).
constexpr int64_t TA_MIN_DATA_BYTES = 8;
constexpr int64_t TA_MAX_DATA_BYTES = 0x1000000;

inline int ta_tag(const TypedArray* a) { return a->type & 0x1f; }
// Element size in bytes of a tag (0 for tags below 3).
inline int ta_elem_size_of(int tag) { return (1 << (tag & 7)) >> 3; }
inline int ta_elem_size(const TypedArray* a) { return ta_elem_size_of(ta_tag(a)); }
inline bool ta_is_float(const TypedArray* a) { return ta_tag(a) == UT_F64; }
inline bool ta_valid_tag(int tag) {
    return tag == UT_U8 || tag == UT_I16 || tag == UT_I32 || tag == UT_I64 || tag == UT_F64;
}
// width * height * depth; arrays returned by to_typed_array never exceed 16 Mi.
inline int64_t ta_count(const TypedArray* a) {
    return (int64_t)a->width * (int64_t)a->height * (int64_t)a->depth;
}
inline int64_t ta_data_bytes(const TypedArray* a) { return ta_count(a) * ta_elem_size(a); }
// Elements start right after the header (16-byte aligned in a process state).
inline uint8_t* ta_data(TypedArray* a) { return reinterpret_cast<uint8_t*>(a + 1); }
inline const uint8_t* ta_data(const TypedArray* a) { return reinterpret_cast<const uint8_t*>(a + 1); }
template <class T> inline T* ta_elems(TypedArray* a) { return reinterpret_cast<T*>(a + 1); }
template <class T> inline const T* ta_elems(const TypedArray* a) { return reinterpret_cast<const T*>(a + 1); }

// The value at argument idx when it is a genuine typed array: a full userdata
// whose metatable is one the array code installed (or none, for arrays made
// while USERDATA was not a table) and whose real size holds every element its
// header claims. NULL for anything else.
TypedArray* to_typed_array(lua_State* L, int idx);

// Makes an array by the creation rules (type name parsed by str_to_utype, the
// "[gfx]" bitmap text, size limits, optional data text) and pushes it.
// Returns NULL and pushes nothing on failure.
TypedArray* create_userdata(lua_State* L, const char* type_name, int dims, int64_t width,
                            int64_t height, int64_t depth, const char* data);
// The same from a tag (no data text): a zero-filled array of dims 1 or 2.
TypedArray* create_typed_array(lua_State* L, int tag, int dims, int64_t width, int64_t height);
// Pushes a byte-for-byte copy (header and data) with the current USERDATA metatable.
TypedArray* push_duplicate_userdata(lua_State* L, const TypedArray* a);

// "u8", "i16", "i32", "i64", "f64"; "?" for any other tag.
const char* get_utype_string(int tag);
// Type names by their first two characters ("f32" is i32, "u16" is i16, "" is u8).
int str_to_utype(const char* name);

// Installs the USERDATA metatable with the typed-array methods.
void add_userdata_metatable_functions(lua_State* L);
