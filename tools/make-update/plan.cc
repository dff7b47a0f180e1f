// SPDX-License-Identifier: MIT
#include "plan.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>

#include "helpers.h"

namespace make_update {

namespace {

// The longest of `roots` that holds `path`, or "".
std::string RootOf(const std::string &path, const std::vector<std::string> &roots) {
  std::string best;
  for (const std::string &root : roots) {
    if (IsUnder(path, root) && root.size() > best.size()) best = root;
  }
  return best;
}

// True when `dir` holds at least one entry in `entries` (whose order puts them right after it).
bool HasChildren(const TreeMap &entries, const std::string &dir) {
  const std::string prefix = dir + "/";
  auto it = entries.lower_bound(prefix);
  return it != entries.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

std::string Quote(const std::string &s) { return manifest::kQuote + s + manifest::kQuote; }

// One manifest line: the keyword, then each argument quoted, separated by single spaces.
std::string Line(const char *keyword, std::initializer_list<std::string> arguments) {
  std::string line = keyword;
  for (const std::string &argument : arguments) line += " " + Quote(argument);
  return line;
}

}  // namespace

std::string NormaliseUserPath(const std::string &arg, std::string *error) {
  std::string path = arg;
  while (path.compare(0, 2, "./") == 0) path.erase(0, 2);
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (path.empty() || path == ".") {
    *error = "\"" + arg + "\" does not name a path inside the trees";
    return "";
  }
  const std::string problem = PathProblem(path);
  if (!problem.empty()) {
    *error = problem;
    return "";
  }
  return path;
}

std::string PrecompleteText(const TreeMap &entries, const std::vector<std::string> &if_missing,
                            bool with_record) {
  std::set<std::string> files;
  std::vector<std::string> dirs;
  for (const auto &[path, entry] : entries) {
    if (entry.kind == 'l' && entry.to_folder) continue;  // "remove" refuses a link to a folder
    if (entry.kind == 'd') {
      dirs.push_back(path);
    } else {
      files.insert(path);
    }
  }
  files.insert(kPrecompleteName);
  if (with_record) files.insert(kProductRecordName);
  std::string text;
  for (const std::string &file : files) {
    text +=
        Line(RootOf(file, if_missing).empty() ? manifest::kRemove : manifest::kRemoveCc, {file});
    text += "\n";
  }
  // Reverse bytewise order puts every folder after everything inside it.
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
    text += Line(manifest::kRmdir, {*it + manifest::kFolderEnd}) + "\n";
  }
  return text;
}

namespace {

// Each --optional / --if-missing root must name something; an optional root missing from the old
// tree is only installed where it already exists.
void CheckUserRoots(const TreeMap &old_entries, const TreeMap &new_entries, bool partial,
                    const PlanOptions &options, std::vector<std::string> *problems,
                    std::vector<std::string> *warnings) {
  for (const auto &list : {options.optional, options.if_missing}) {
    for (const std::string &root : list) {
      if (!old_entries.count(root) && !new_entries.count(root)) {
        problems->push_back("--optional/--if-missing " + root + " names nothing in either tree");
      } else if (partial && !old_entries.count(root) && &list == &options.optional) {
        warnings->push_back("optional " + root +
                            " is not in the old tree: its files are installed only where it "
                            "already exists");
      }
    }
  }
}

// Links: each link of the new tree must have a relative target that stays inside the installation
// (the updater refuses any other); one that is new, changed or replaces a file is made with
// "addsymlink", and so is every link of a complete update. A link of the old tree that vanishes is
// removed like a file, which the updater cannot do for a link to a folder.
void PlanLinks(const TreeMap &old_entries, const TreeMap &new_entries, Plan *plan,
               std::vector<std::string> *problems) {
  for (const auto &[path, entry] : new_entries) {
    if (entry.kind != 'l') continue;
    if (!manifest::LinkTargetStaysInside(path.c_str(), entry.target.c_str())) {
      problems->push_back("symbolic link " + path + " -> " + entry.target +
                          ": a link's target must be relative and stay inside the installation "
                          "(no leading '/', no \"..\" that climbs above the top of the tree)");
      continue;
    }
    if (entry.target.find_first_of(manifest::kLineEnds) != std::string::npos ||
        entry.target.find(manifest::kQuote) != std::string::npos) {
      problems->push_back("symbolic link " + path +
                          ": a target with a double quote or a line break cannot be written in a "
                          "manifest");
      continue;
    }
    auto it = old_entries.find(path);
    if (it != old_entries.end() && it->second.kind == 'd') {
      problems->push_back("folder " + path +
                          " is a link in the new tree: the updater cannot replace a folder by a "
                          "link");
      continue;
    }
    if (it == old_entries.end() || it->second.kind != 'l' || it->second.target != entry.target) {
      plan->links[path] = entry.target;
    }
  }
  for (const auto &[path, entry] : old_entries) {
    if (entry.kind != 'l') continue;
    auto it = new_entries.find(path);
    if (it != new_entries.end() && it->second.kind == 'd') {
      problems->push_back("symbolic link " + path +
                          " of the old tree is a folder in the new tree: the updater cannot "
                          "replace a link by a folder (make a complete update)");
      continue;
    }
    const bool covered = std::any_of(plan->rmrf_dirs.begin(), plan->rmrf_dirs.end(),
                                     [&](const std::string &d) { return IsUnder(path, d); });
    if (it != new_entries.end() || covered) continue;
    if (entry.to_folder) {
      problems->push_back("symbolic link " + path +
                          " of the old tree, which leads to a folder, is gone in the new tree: an "
                          "update cannot remove a link to a folder");
    } else {
      plan->remove_files.push_back(path);
    }
  }
}

// Removals: what the old release had and the new one does not.
void PlanRemovals(const TreeMap &old_entries, const TreeMap &new_entries,
                  const PlanOptions &options, Plan *plan, std::vector<std::string> *problems) {
  for (const auto &[path, old_entry] : old_entries) {
    if (old_entry.kind == 'l') continue;  // PlanLinks
    auto it = new_entries.find(path);
    if (old_entry.kind == 'f') {
      // A file that becomes a link is moved to its backup by the "addsymlink" itself.
      if (it == new_entries.end() || it->second.kind == 'd') plan->remove_files.push_back(path);
      continue;
    }
    if (it != new_entries.end() && it->second.kind == 'd') continue;
    if (it != new_entries.end()) {
      problems->push_back("folder " + path +
                          " is a file in the new tree: the updater cannot replace a folder by a "
                          "file in a partial update (make a complete update)");
      continue;
    }
    if (options.use_rmrfdir) {
      const size_t slash = path.rfind('/');
      const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
      auto parent_new = new_entries.find(parent);
      if (parent.empty() || parent_new != new_entries.end()) plan->rmrf_dirs.push_back(path);
    } else {
      plan->remove_dirs.push_back(path);
    }
  }
  if (options.use_rmrfdir) {
    // Files inside a folder that "rmrfdir" removes need no line of their own.
    auto covered = [&](const std::string &p) {
      for (const std::string &d : plan->rmrf_dirs) {
        if (IsUnder(p, d)) return true;
      }
      return false;
    };
    plan->remove_files.erase(
        std::remove_if(plan->remove_files.begin(), plan->remove_files.end(), covered),
        plan->remove_files.end());
  }
  std::reverse(plan->remove_dirs.begin(), plan->remove_dirs.end());
}

// Folders: an update creates a folder only for a file that it adds, with mode 0755.
void CheckFolders(const TreeMap &old_entries, const TreeMap &new_entries,
                  std::vector<std::string> *problems, std::vector<std::string> *warnings) {
  for (const auto &[path, entry] : new_entries) {
    if (entry.kind != 'd') continue;
    auto old_it = old_entries.find(path);
    const bool existed = old_it != old_entries.end() && old_it->second.kind == 'd';
    if (!existed && !HasChildren(new_entries, path)) {
      problems->push_back("empty folder " + path +
                          " cannot be created: an update makes folders only for the files it "
                          "adds (put a file in it)");
    } else if (!existed && entry.mode != 0755) {
      warnings->push_back("folder " + path + " has mode " + Octal(entry.mode) +
                          "; the updater creates new folders with mode 0755");
    } else if (existed && old_it->second.mode != entry.mode) {
      warnings->push_back("folder " + path + " changes its mode from " +
                          Octal(old_it->second.mode) + " to " + Octal(entry.mode) +
                          "; an update cannot change a folder's mode");
    }
  }
}

// The files of the new release, sorted by path, with each generated file (the list, the record)
// in place of any file of its name that the tree holds (a folder of that name is refused, a file
// that differs is replaced with a warning).
std::vector<std::pair<std::string, TreeEntry>> ReleaseFiles(const Tree &new_tree, const Plan &plan,
                                                            std::vector<std::string> *problems,
                                                            std::vector<std::string> *warnings) {
  const TreeMap &new_entries = new_tree.entries;
  std::map<std::string, std::string> generated = {{kPrecompleteName, plan.precomplete}};
  if (!plan.product_record.empty()) generated[kProductRecordName] = plan.product_record;
  std::vector<std::pair<std::string, TreeEntry>> files;
  for (const auto &[path, entry] : new_entries) {
    if (entry.kind == 'f' && !generated.count(path)) files.emplace_back(path, entry);
  }
  for (const auto &[name, text] : generated) {
    auto it = new_entries.find(name);
    if (it != new_entries.end() && it->second.kind == 'd') {
      problems->push_back(
          "the new tree holds a folder named \"" + name + "\", the name of " +
          (name == kPrecompleteName ? "the list of installed files" : "the product record"));
    }
    if (it != new_entries.end() && it->second.kind == 'f') {
      std::string data, error;
      if (!ReadWholeFile(new_tree.root + "/" + name, &data, &error) || data != text) {
        warnings->push_back("the new tree's " + name + " is replaced by a generated one " +
                            (name == kPrecompleteName ? "listing every file of the release"
                                                      : "for --product and --version"));
      }
    }
    TreeEntry entry;
    entry.mode = 0644;
    files.emplace_back(name, entry);
  }
  std::sort(files.begin(), files.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  return files;
}

// One carried file per release file: its sources, condition and whether it may be patched.
void PlanCarries(const Tree *old_tree, const Tree &new_tree, const PlanOptions &options,
                 const std::string &generated_dir,
                 const std::vector<std::pair<std::string, TreeEntry>> &files, Plan *plan,
                 std::vector<std::string> *problems) {
  static const TreeMap kEmpty;
  const TreeMap &old_entries = old_tree ? old_tree->entries : kEmpty;
  std::set<std::string> patch_members;
  for (const auto &[path, entry] : files) {
    if (path == kManifestName) {
      problems->push_back(std::string("a file named ") + kManifestName +
                          " at the top of the tree would clash with the update's manifest");
      continue;
    }
    Carry carry;
    carry.path = path;
    carry.mode = entry.mode;
    const bool generated =
        path == kPrecompleteName || (path == kProductRecordName && !plan->product_record.empty());
    carry.source = (generated ? generated_dir : new_tree.root) + "/" + path;
    auto old_it = old_entries.find(path);
    if (old_it != old_entries.end() && old_it->second.kind == 'f') {
      carry.old_source = old_tree->root + "/" + path;
      carry.same_mode = old_it->second.mode == entry.mode;
      carry.may_patch = carry.same_mode;
    }
    const std::string missing_root = RootOf(path, options.if_missing);
    const std::string optional_root = RootOf(path, options.optional);
    if (!missing_root.empty()) {
      carry.condition = Condition::kIfMissing;
      carry.test = path;
      carry.may_patch = false;
    } else if (!optional_root.empty()) {
      carry.condition = Condition::kIfPresent;
      carry.test = optional_root;
    }
    if (carry.may_patch) patch_members.insert(carry.PatchMember());
    plan->carries.push_back(carry);
  }
  for (const Carry &carry : plan->carries) {
    if (patch_members.count(carry.path)) {
      problems->push_back("file " + carry.path +
                          " has the name of the patch member of another changed file");
    }
  }
}

}  // namespace

bool MakePlan(const Tree *old_tree, const Tree &new_tree, const PlanOptions &options,
              const std::string &generated_dir, Plan *plan, std::vector<std::string> *problems,
              std::vector<std::string> *warnings) {
  const size_t problems_before = problems->size();
  *plan = Plan();
  plan->partial = old_tree != nullptr;
  plan->product_record = options.product_record;
  plan->precomplete =
      PrecompleteText(new_tree.entries, options.if_missing, !plan->product_record.empty());
  static const TreeMap kEmpty;
  const TreeMap &old_entries = old_tree ? old_tree->entries : kEmpty;
  const TreeMap &new_entries = new_tree.entries;

  CheckUserRoots(old_entries, new_entries, plan->partial, options, problems, warnings);
  PlanRemovals(old_entries, new_entries, options, plan, problems);
  PlanLinks(old_entries, new_entries, plan, problems);
  std::sort(plan->remove_files.begin(), plan->remove_files.end());
  CheckFolders(old_entries, new_entries, problems, warnings);
  const auto files = ReleaseFiles(new_tree, *plan, problems, warnings);
  PlanCarries(old_tree, new_tree, options, generated_dir, files, plan, problems);
  return problems->size() == problems_before;
}

std::vector<Instruction> Instructions(const Plan &plan) {
  std::vector<Instruction> out;
  out.push_back({Line(manifest::kType, {plan.partial ? manifest::kPartial : manifest::kComplete}),
                 "", "", 0});
  for (const std::string &p : plan.remove_files)
    out.push_back({Line(manifest::kRemove, {p}), "", "", 0});
  for (const std::string &d : plan.rmrf_dirs) {
    out.push_back({Line(manifest::kRmrfdir, {d + manifest::kFolderEnd}), "", "", 0});
  }
  for (const std::string &d : plan.remove_dirs) {
    out.push_back({Line(manifest::kRmdir, {d + manifest::kFolderEnd}), "", "", 0});
  }
  // The links come before the files, so that a failure in any file's instruction undoes them too.
  for (const auto &[path, target] : plan.links) {
    out.push_back({Line(manifest::kAddSymlink, {path, target}), "", "", 0});
  }
  for (const Carry &c : plan.carries) {
    if (c.unchanged) continue;
    Instruction ins;
    if (c.patched) {
      ins.member = c.PatchMember();
      ins.member_size = c.patch_size;
      ins.text = c.condition == Condition::kIfPresent
                     ? Line(manifest::kPatchIf, {c.path, ins.member, c.path})
                     : Line(manifest::kPatch, {ins.member, c.path});
    } else {
      ins.member = c.path;
      ins.member_size = c.add_size;
      switch (c.condition) {
        case Condition::kAlways:
          ins.text = Line(manifest::kAdd, {c.path});
          break;
        case Condition::kIfPresent:
          ins.text = Line(manifest::kAddIf, {c.test, c.path});
          break;
        case Condition::kIfMissing:
          ins.text = Line(manifest::kAddIfNot, {c.test, c.path});
          break;
      }
    }
    ins.member_file = ins.member;
    out.push_back(ins);
  }
  return out;
}

}  // namespace make_update
