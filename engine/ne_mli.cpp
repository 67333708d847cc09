// SPDX-License-Identifier: BSD-3-Clause
// The engine's builder operations, recording the group a plug-in declares, and the host API that
// loads a plug-in, checks its group and calls its methods.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "penstock/engine.hpp"

using penstock::engine::GroupDecl;

struct NeVariable {
  std::string name;
};

struct NeEquation {
  size_t index;
};

struct NeEqnGroup {};

struct NeBuilder {
  GroupDecl decl;
  std::vector<std::unique_ptr<NeVariable>> variables;
  std::vector<std::unique_ptr<NeEquation>> equations;
  std::unique_ptr<NeEqnGroup> group;
  NeVariable* time = nullptr;
  std::array<bool, 2> size_set{};
  std::vector<int32_t> last_slot;  // per equation, the highest slot registered so far

  void call(std::string text) { decl.calls.push_back(std::move(text)); }
  void problem(std::string text) { decl.problems.push_back(std::move(text)); }
};

struct NeParameterSource {
  penstock::engine::ParameterTable values;
  mutable std::vector<std::string> asked;
};

namespace {

// The builder whose plug-in is declaring right now; handles are checked against it before use.
thread_local NeBuilder* active = nullptr;

NeBuilder* builder_of(const NeBuilder* b, const char* op) {
  if (active == nullptr) return nullptr;
  if (b != active) {
    active->problem(std::string(op) + " was given a builder handle that the engine did not hand out");
    return nullptr;
  }
  return active;
}

NeBuilder* builder_of(const NeEqnGroup* g, const char* op) {
  if (active == nullptr) return nullptr;
  if (g == nullptr || g != active->group.get()) {
    active->problem(std::string(op) + " was given a group handle that ne_builder_add_group did not return");
    return nullptr;
  }
  return active;
}

NeBuilder* builder_of(const NeEquation* e, const char* op) {
  if (active == nullptr) return nullptr;
  const bool known =
      std::any_of(active->equations.begin(), active->equations.end(), [e](const auto& own) { return own.get() == e; });
  if (!known) {
    active->problem(std::string(op) + " was given an equation handle that ne_eqn_group_add_equation did not return");
    return nullptr;
  }
  return active;
}

std::string eq_name(const NeEquation* e) { return "e" + std::to_string(e->index); }

}  // namespace

extern "C" {

NeEqnGroup* ne_builder_add_group(NeBuilder* b) {
  NeBuilder* self = builder_of(b, "ne_builder_add_group");
  if (self == nullptr) return nullptr;
  self->call("ne_builder_add_group");
  if (self->group) {
    self->problem("declares a second group; a component declares exactly one");
    return nullptr;
  }
  self->group = std::make_unique<NeEqnGroup>();
  return self->group.get();
}

NeVariable* ne_builder_get_time(NeBuilder* b) {
  NeBuilder* self = builder_of(b, "ne_builder_get_time");
  if (self == nullptr) return nullptr;
  self->call("ne_builder_get_time");
  if (self->time == nullptr) {
    self->variables.push_back(std::make_unique<NeVariable>(NeVariable{"time"}));
    self->time = self->variables.back().get();
  }
  return self->time;
}

NeVariable* ne_builder_get_element_variable(NeBuilder* b, const char* name, int32_t flags) {
  NeBuilder* self = builder_of(b, "ne_builder_get_element_variable");
  if (self == nullptr) return nullptr;
  const std::string text = name == nullptr ? std::string("(null)") : std::string(name);
  self->call("ne_builder_get_element_variable(" + text + ", " + std::to_string(flags) + ")");
  if (name == nullptr || *name == '\0') self->problem("asks for an element variable without a name");
  if (flags != 0)
    self->problem("asks for element variable " + text + " with flags " + std::to_string(flags) +
                  "; flags are always 0");
  self->variables.push_back(std::make_unique<NeVariable>(NeVariable{text}));
  return self->variables.back().get();
}

void ne_eqn_group_add_input(NeEqnGroup* g, NeVariable* v) {
  NeBuilder* self = builder_of(g, "ne_eqn_group_add_input");
  if (self == nullptr) return;
  const bool known =
      std::any_of(self->variables.begin(), self->variables.end(), [v](const auto& own) { return own.get() == v; });
  if (!known) {
    self->call("ne_eqn_group_add_input(?)");
    self->problem("adds an input with a variable handle that the builder did not return");
    return;
  }
  self->call("ne_eqn_group_add_input(" + v->name + ")");
  if (self->decl.inputs.empty() != (v == self->time)) self->problem("input 0 must be the time, and only input 0");
  if (!self->decl.equations.empty()) self->problem("adds input " + v->name + " after the first equation");
  self->decl.inputs.push_back(v->name);
}

NeEquation* ne_eqn_group_add_equation(NeEqnGroup* g) {
  NeBuilder* self = builder_of(g, "ne_eqn_group_add_equation");
  if (self == nullptr) return nullptr;
  const size_t index = self->equations.size();
  self->call("ne_eqn_group_add_equation -> e" + std::to_string(index));
  self->equations.push_back(std::make_unique<NeEquation>(NeEquation{index}));
  self->decl.equations.emplace_back();
  self->last_slot.push_back(-1);
  return self->equations.back().get();
}

void ne_eqn_set_differential(NeEquation* e, int32_t input_index) {
  NeBuilder* self = builder_of(e, "ne_eqn_set_differential");
  if (self == nullptr) return;
  self->call("ne_eqn_set_differential(" + eq_name(e) + ", " + std::to_string(input_index) + ")");
  auto& eq = self->decl.equations[e->index];
  if (eq.differential >= 0) self->problem("sets the differential input of " + eq_name(e) + " twice");
  if (input_index < 1 || input_index >= self->decl.n_inputs()) {
    self->problem("gives " + eq_name(e) + " the differential input " + std::to_string(input_index) +
                  ", which is not an element variable of the group");
  }
  eq.differential = input_index;
}

void ne_eqn_set_method(NeEquation* e, int32_t slot, NeEquationMethod fn) {
  NeBuilder* self = builder_of(e, "ne_eqn_set_method");
  if (self == nullptr) return;
  self->call("ne_eqn_set_method(" + eq_name(e) + ", " + std::to_string(slot) + ")");
  const std::string where =
      std::string(penstock::slot_name(slot)) + " (slot " + std::to_string(slot) + ") of " + eq_name(e);
  if (slot < 0 || slot >= penstock::kSlotCount || slot == penstock::kUnusedSlot) {
    self->problem("registers " + where + "; slots are 0 to 8 and slot 5 is never used");
    return;
  }
  if (fn == nullptr) self->problem("registers no function for " + where);
  int32_t& last = self->last_slot[e->index];
  if (slot <= last) self->problem("registers " + where + " out of ascending slot order");
  last = std::max(last, slot);
  self->decl.equations[e->index].methods[static_cast<size_t>(slot)] = fn;
}

void ne_eqn_set_param_method(NeEquation* e, int32_t slot, NeParamMethod fn) {
  NeBuilder* self = builder_of(e, "ne_eqn_set_param_method");
  if (self == nullptr) return;
  self->call("ne_eqn_set_param_method(" + eq_name(e) + ", " + std::to_string(slot) + ")");
  if (slot != penstock::kLinearRowSlot)
    self->problem("registers parameter method slot " + std::to_string(slot) + " of " + eq_name(e) +
                  "; only slot 0 (LinearRow) exists");
  if (fn == nullptr) self->problem("registers no function for LinearRow of " + eq_name(e));
  if (self->last_slot[e->index] >= 0)
    self->problem("registers LinearRow of " + eq_name(e) + " after its equation methods");
  self->decl.equations[e->index].linear_row = fn;
}

void ne_eqn_group_set_method_size(NeEqnGroup* g, int32_t slot, int32_t count) {
  NeBuilder* self = builder_of(g, "ne_eqn_group_set_method_size");
  if (self == nullptr) return;
  self->call("ne_eqn_group_set_method_size(" + std::to_string(slot) + ", " + std::to_string(count) + ")");
  if (slot != penstock::kZeroCrossingsSlot && slot != penstock::kModesSlot) {
    self->problem("sets the size of group method slot " + std::to_string(slot) +
                  "; only 0 (ZeroCrossings) and 1 (Modes) exist");
    return;
  }
  if (count <= 0)
    self->problem("sets the size of group method slot " + std::to_string(slot) + " to " + std::to_string(count));
  (slot == penstock::kZeroCrossingsSlot ? self->decl.n_zc : self->decl.n_modes) = count;
  self->size_set[static_cast<size_t>(slot)] = true;
}

void ne_eqn_group_set_method(NeEqnGroup* g, int32_t slot, NeGroupMethod fn) {
  NeBuilder* self = builder_of(g, "ne_eqn_group_set_method");
  if (self == nullptr) return;
  self->call("ne_eqn_group_set_method(" + std::to_string(slot) + ")");
  if (slot != penstock::kZeroCrossingsSlot && slot != penstock::kModesSlot) {
    self->problem("registers group method slot " + std::to_string(slot) +
                  "; only 0 (ZeroCrossings) and 1 (Modes) exist");
    return;
  }
  if (!self->size_set[static_cast<size_t>(slot)])
    self->problem("registers group method slot " + std::to_string(slot) + " before setting its size");
  if (fn == nullptr) self->problem("registers no function for group method slot " + std::to_string(slot));
  (slot == penstock::kZeroCrossingsSlot ? self->decl.zero_crossings : self->decl.modes) = fn;
}

void ne_eqn_group_set_setup_cleanup_fcn(NeEqnGroup* g, NeSetupFcn setup, NeCleanupFcn cleanup) {
  NeBuilder* self = builder_of(g, "ne_eqn_group_set_setup_cleanup_fcn");
  if (self == nullptr) return;
  self->call("ne_eqn_group_set_setup_cleanup_fcn");
  if (setup == nullptr || cleanup == nullptr) self->problem("registers no setup or no cleanup function");
  self->decl.setup = setup;
  self->decl.cleanup = cleanup;
}

const double* ne_eqn_get_parameter(const NeParameterSource* source, const char* name) {
  if (source == nullptr || name == nullptr) return nullptr;
  source->asked.emplace_back(name);
  const auto it = source->values.find(name);
  return it == source->values.end() ? nullptr : &it->second;
}

}  // extern "C"

namespace penstock::engine {

std::optional<Kind> EquationDecl::kind() const {
  uint32_t bits = 0;
  for (int32_t slot = 0; slot < kSlotCount; ++slot) {
    if (has(slot)) bits |= 1U << slot;
  }
  for (Kind k :
       {Kind::differential_nonlinear, Kind::differential_linear, Kind::algebraic_nonlinear, Kind::algebraic_linear}) {
    if (bits == slot_bits(k) && is_linear(k) == (linear_row != nullptr) && is_differential(k) == (differential >= 0)) {
      return k;
    }
  }
  return std::nullopt;
}

GroupDecl declare(NeBuildFcn builder) {
  NeBuilder b;
  NeBuilder* outer = std::exchange(active, &b);
  NeEqnGroup* returned = builder(&b);
  active = outer;

  GroupDecl& g = b.decl;
  if (!b.group) g.problems.emplace_back("declares no group");
  if (returned != b.group.get()) g.problems.emplace_back("returns a handle other than its group's");
  if (g.inputs.empty()) g.problems.emplace_back("declares no inputs; input 0 is the time");
  if (g.equations.empty()) g.problems.emplace_back("declares no equations");
  for (size_t i = 0; i < g.equations.size(); ++i) {
    if (!g.equations[i].kind()) {
      g.problems.push_back("e" + std::to_string(i) + " registers slots that make up none of the four equation kinds");
    }
  }
  if ((g.zero_crossings == nullptr) != (g.modes == nullptr)) {
    g.problems.emplace_back("registers only one of ZeroCrossings and Modes; a component registers both or neither");
  }
  if (g.setup == nullptr) g.problems.emplace_back("registers no setup and cleanup");
  return std::move(g);
}

namespace {

// Closes a file descriptor when it goes out of scope.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

bool read_at(int fd, void* out, size_t size, uint64_t offset) {
  auto* bytes = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t n = pread(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// [offset, offset + length) inside a file of `size` bytes, without overflow.
bool inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

}  // namespace

std::string elf_fault(const std::filesystem::path& file) {
  // Non-blocking, so that a FIFO is refused instead of waited on.
  const FileDescriptor f{open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (f.fd < 0) return std::string("cannot open it: ") + std::strerror(errno);
  struct stat st {};
  if (fstat(f.fd, &st) != 0) return std::string("cannot read it: ") + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  const auto size = static_cast<uint64_t>(st.st_size);

  ElfW(Ehdr) header{};
  if (size < sizeof header) return "it is too short to be a shared library (" + std::to_string(size) + " bytes)";
  if (!read_at(f.fd, &header, sizeof header, 0)) return std::string("cannot read it: ") + std::strerror(errno);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return "it is not an ELF file";
  constexpr unsigned char host_class = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  constexpr unsigned char host_data = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  if (header.e_ident[EI_CLASS] != host_class || header.e_ident[EI_DATA] != host_data)
    return "it is an ELF file for another kind of machine (word size or byte order)";
  if (header.e_ident[EI_VERSION] != EV_CURRENT || header.e_version != EV_CURRENT)
    return "its ELF header has an unknown version";
  if (header.e_type != ET_DYN) return "it is not a shared library (ELF type " + std::to_string(header.e_type) + ")";
  if (header.e_ehsize != sizeof header || header.e_phentsize != sizeof(ElfW(Phdr)))
    return "its ELF header gives sizes of headers that an ELF file of its kind does not have";
  if (header.e_phnum == 0 || header.e_phnum == PN_XNUM) return "its ELF header lists no program headers";

  const uint64_t table = uint64_t{header.e_phnum} * header.e_phentsize;
  const std::string length = " of the file (" + std::to_string(size) + " bytes): is it truncated?";
  if (!inside(header.e_phoff, table, size)) return "its program headers lie beyond the end" + length;
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!read_at(f.fd, segments.data(), table, header.e_phoff))
    return std::string("cannot read its program headers: ") + std::strerror(errno);
  bool loadable = false;
  for (size_t k = 0; k < segments.size(); ++k) {
    const ElfW(Phdr)& s = segments[k];
    // dlopen maps a segment whatever the file's size; reading a page past the end is a SIGBUS.
    if (!inside(s.p_offset, s.p_filesz, size)) {
      return "its segment " + std::to_string(k) + " (bytes " + std::to_string(s.p_offset) + " to " +
             std::to_string(uint64_t{s.p_offset} + s.p_filesz) + ") lies beyond the end" + length;
    }
    if (s.p_type != PT_LOAD) continue;
    loadable = true;
    if (s.p_filesz > s.p_memsz) return "its segment " + std::to_string(k) + " is larger in the file than in memory";
  }
  if (header.e_shoff != 0) {
    // e_shnum 0 with a table: the count is in the first entry, which must be there all the same.
    const uint64_t sections = std::max<uint64_t>(header.e_shnum, 1) * header.e_shentsize;
    if (header.e_shentsize != sizeof(ElfW(Shdr)))
      return "its ELF header gives sizes of headers that an ELF file of its kind does not have";
    if (!inside(header.e_shoff, sections, size)) return "its section headers lie beyond the end" + length;
  }
  if (!loadable) return "it has no segment to load";
  return "";
}

Plugin::Plugin(const std::filesystem::path& path) : path_(path) {
  // A name without a slash would send dlopen through the library search path, to another file
  // than the one named (or to the host's own library of that name): load the file named.
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(path, ec);
  if (ec) throw PluginError(path.string() + ": cannot load plug-in: " + ec.message());
  // dlopen trusts the file's headers: check them first.
  if (const std::string fault = elf_fault(file); !fault.empty())
    throw PluginError(path.string() + ": cannot load plug-in: " + fault);
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw PluginError(path.string() + ": cannot load plug-in: " + dlerror());
  auto* entry = reinterpret_cast<void (*)(RegistrationRecord*)>(dlsym(handle_, "mexFunction"));
  if (entry == nullptr) {
    dlclose(handle_);
    throw PluginError(path.string() + ": not a plug-in: it exports no mexFunction");
  }
  RegistrationRecord record{};
  entry(&record);
  builder_ = record.builder;
  if (builder_ == nullptr) {
    dlclose(handle_);
    throw PluginError(path.string() + ": mexFunction registered no builder");
  }
  group_ = declare(builder_);
  if (!group_.problems.empty()) {
    std::string text = path.string() + ": faulty plug-in: the group it declares";
    for (const auto& p : group_.problems) text += "\n  " + p;
    dlclose(handle_);
    throw PluginError(text);
  }
}

Plugin::~Plugin() {
  if (handle_ != nullptr) dlclose(handle_);
}

Plugin::Plugin(Plugin&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      builder_(other.builder_),
      group_(std::move(other.group_)) {}

std::vector<std::string> Plugin::parameter_names() const {
  NeParameterSource recorder;
  double* block = group_.setup(&recorder);
  if (block != nullptr) group_.cleanup(block);
  return recorder.asked;
}

namespace {

// Bound in place of a method the group does not register: a call to it is a fault of the host.
template <int32_t Slot>
void missing(const EvalContext* /*ctx*/, void* /*out*/) {
  throw std::logic_error("the equation has no " + std::string(slot_name(Slot)));
}
void missing_linear_row(const double* /*params*/, double* /*out*/) {
  throw std::logic_error("the equation has no LinearRow");
}
void missing_zero_crossings(const EvalContext* /*ctx*/, void* /*out*/) {
  throw std::logic_error("the group has no ZeroCrossings");
}
void missing_modes(const EvalContext* /*ctx*/, void* /*out*/) { throw std::logic_error("the group has no Modes"); }

}  // namespace

Instance::Instance(const GroupDecl& group, const ParameterTable& parameters)
    : group_(&group), row_(group.inputs.size(), 0.0) {
  for (const EquationDecl& eq : group.equations) {
    auto bound = [&eq](int32_t slot, NeEquationMethod stub) {
      return eq.has(slot) ? eq.methods[static_cast<size_t>(slot)] : stub;
    };
    // Mass is read at the differential input, so it is there only with one.
    const bool differential = eq.differential >= 0 && eq.differential < group.n_inputs();
    methods_.push_back(Methods{
        .mass = differential ? bound(kMass, missing<kMass>) : missing<kMass>,
        .residual = bound(kResidual, missing<kResidual>),
        .residual_pattern = bound(kResidualPattern, missing<kResidualPattern>),
        .residual_jacobian = bound(kResidualJacobian, missing<kResidualJacobian>),
        .linear_row = eq.linear_row != nullptr ? eq.linear_row : missing_linear_row,
        .differential = differential ? static_cast<size_t>(eq.differential) : 0,
    });
  }
  zero_crossings_ = group.zero_crossings != nullptr ? group.zero_crossings : missing_zero_crossings;
  modes_ = group.modes != nullptr ? group.modes : missing_modes;
  NeParameterSource source{parameters, {}};
  block_ = group.setup(&source);
  if (block_ == nullptr) throw PluginError("setup returned no parameter block: out of memory");
}

Instance::~Instance() { group_->cleanup(block_); }

void Instance::call(size_t equation, int32_t slot, const double* inputs, const int32_t* modes, void* out) const {
  const EquationDecl& eq = group_->equations.at(equation);
  if (slot < 0 || slot >= kSlotCount || !eq.has(slot)) {
    throw std::logic_error("e" + std::to_string(equation) + " has no " + std::string(slot_name(slot)));
  }
  const EvalContext ctx = context(inputs, modes);
  eq.methods[static_cast<size_t>(slot)](&ctx, out);
}

}  // namespace penstock::engine
