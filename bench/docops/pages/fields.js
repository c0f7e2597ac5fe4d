// Writes form "big" with the text fields f<from> .. f<to - 1>.
function fields(from, to) {
  var html = '<form name="big" action="#">';
  for (var i = from; i < to; i++) html += '<label>f' + i + ' <input type="text" name="f' + i + '"></label> ';
  document.write(html + '</form>');
}
