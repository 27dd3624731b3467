"""The real sample files kept in the repository, and how the tests find them."""

import re

from real_samples import NOT_SAMPLES, REPO_COPY, gather, sample_files


def test_the_repository_holds_every_listed_sample_with_its_licence():
    """Each file that PROVENANCE.md lists is in tests/data/samples with the size it gives, and no file
    is there without a line in it; each folder of files has its licence text."""
    provenance = (REPO_COPY / "PROVENANCE.md").read_text(encoding="utf-8")
    listed = {name: int(size.replace(",", ""))
              for name, size in re.findall(r"^\| ([^ |]+) \| ([\d,]+) \|", provenance, re.M)}
    kept = sample_files((REPO_COPY,))
    assert len(listed) == 10
    assert {name: path.stat().st_size for name, path in kept.items()} == listed
    for folder in {path.parent for path in kept.values()}:
        assert (folder / "LICENSE").read_text(encoding="utf-8").startswith("MIT License")


def test_the_folder_beside_adds_only_what_the_repository_lacks(tmp_path):
    repo, beside = tmp_path / "repo", tmp_path / "beside"
    files = {repo: {"a.0": b"repo a", "maps/m.0": b"repo m", "LICENSE": b"MIT"},
             beside: {"a.0": b"beside a", "b.1": b"beside b", "maps/m.0": b"beside m", "maps/n.0": b"beside n",
                      "PROVENANCE.md": b"note"}}
    for folder, contents in files.items():
        for name, data in contents.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_bytes(data)
    union = sample_files((repo, beside))
    assert {name: path.read_bytes() for name, path in union.items()} == {
        "a.0": b"repo a", "b.1": b"beside b", "maps/m.0": b"repo m", "maps/n.0": b"beside n"}
    assert sample_files((tmp_path / "absent", beside)).keys() == {"a.0", "b.1", "maps/m.0", "maps/n.0"}
    copied = gather(tmp_path / "all", union)
    assert sorted(p.relative_to(copied).as_posix() for p in copied.rglob("*") if p.is_file()) == list(union)
    assert not NOT_SAMPLES & {p.name for p in copied.rglob("*")}
